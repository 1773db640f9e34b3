# The demonstration of scripts/demo.sh in the guest: the line of scripts/demo/line.desc on
# the real 8250 driver's ttyS1 (a 16550A), 9600 8N1, the controllers at 15, 17, 18, 19 and
# the line-test responder; qmveskar runs as root.
echo "== bench line 1 on /dev/ttyS1 ($(cat /sys/class/tty/ttyS1/type 2>/dev/null | sed 's/^4$/16550A/')), 9600 8N1, kernel $(uname -r)"
echo "== qmveskar 1 15,16,17,18,19,20,255"
qmveskar 1 15,16,17,18,19,20,255
echo "== exit status $?"
