#!/bin/bash
# sandbox_check.sh setup|clobber|verify STATEDIR - proves that sandboxed tests cannot
# reach the host's system paths. setup and verify run on the host, before and after the
# suite; clobber runs inside the sandbox and tries to change everything it can.
set -u
mode=$1 state=$2
name=qm-sentinel-$(echo "$state" | md5sum | cut -c1-12)
case "$mode" in
setup)
    mkdir -p "$state"
    head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$state/sentinel"
    cp "$state/sentinel" "/dev/shm/$name"
    for p in /dev/shm/uart_lck /dev/shm/discovery_perc /etc/quor /tmp/.vesconf_file /dev/port \
             /usr/bin/qmstat /usr/bin/qmpasswd /var/www/html/lang /var/log/temp_isto; do
        if [ -e "$p" ]; then echo "$p"; fi
    done > "$state/present"
    ;;
clobber)
    [ "${QM_SANDBOX:-}" = 1 ] || { echo "not in the sandbox"; exit 1; }
    echo changed > "/dev/shm/$name" && rm -f "/dev/shm/$name"
    echo 1 > /dev/shm/uart_lck && echo 50 > /dev/shm/discovery_perc
    mkdir -p /etc/quor/db/x && echo x > /tmp/.vesconf_file && printf 'A' > /dev/port
    echo x > /var/www/html/lang/x && echo x > /var/log/temp_isto/x
    [ -x /usr/bin/qmstat ] && [ -x /usr/bin/qmpasswd ] || { echo "tool doubles missing"; exit 1; }
    [ -f /dev/port ] || { echo "/dev/port is not the regular file"; exit 1; }
    echo "clobbered the sandbox's copies"
    ;;
verify)
    status=0
    if ! cmp -s "$state/sentinel" "/dev/shm/$name"; then
        echo "FAIL: the host's /dev/shm sentinel changed or vanished"; status=1
    fi
    rm -f "/dev/shm/$name"
    for p in /dev/shm/uart_lck /dev/shm/discovery_perc /etc/quor /tmp/.vesconf_file /dev/port \
             /usr/bin/qmstat /usr/bin/qmpasswd /var/www/html/lang /var/log/temp_isto; do
        was=$(grep -cx "$p" "$state/present")
        if [ -e "$p" ] && [ "$was" = 0 ]; then echo "FAIL: $p appeared on the host"; status=1; fi
    done
    [ $status = 0 ] && echo "ok: the host's paths are as they were"
    exit $status
    ;;
esac
