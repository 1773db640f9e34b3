#!/bin/bash
# man_render_check.sh BINDIR - installs the manual pages of the build (component "man") into
# a private prefix and renders every one of them: man --warnings (as lintian does) and
# groff with all warnings must print nothing on standard error, lexgrog must read each
# page's NAME line (the whatis entry), and every link page (".so") must name a real page
# that man then shows.
set -u
bin=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
chmod 755 "$prefix"   # man may format as its own user
cmake --install "$bin" --component man --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install --component man"; exit 1; }
mandir=$prefix/share/man
cd "$mandir" || { echo "FAIL: nothing installed under share/man"; exit 1; }
export LC_ALL=C.UTF-8 MANWIDTH=80
status=0 pages=0 links=0
for page in man1/* man3/*; do
    first=$(head -n 1 "$page")
    if [[ $first == ".so "* ]]; then
        target=${first#.so }
        if [ ! -f "$target" ] || head -n 1 "$target" | grep -q '^\.so '; then
            echo "FAIL: $page links to '$target', which is not a page"; status=1; continue
        fi
        if ! man -l "$page" 2>/dev/null | grep -q .; then
            echo "FAIL: man shows nothing for the link $page"; status=1
        fi
        links=$((links + 1))
        continue
    fi
    pages=$((pages + 1))
    warnings=$( { man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null; } 2>&1
                { groff -ww -man -z -Tutf8 "$page"; } 2>&1 )
    if [ -n "$warnings" ]; then
        echo "FAIL: $page renders with warnings:"; echo "$warnings" | sed 's/^/    /'; status=1
    fi
    if ! lexgrog "$page" >/dev/null 2>&1; then
        echo "FAIL: $page has no whatis entry that lexgrog can read"; status=1
    fi
done
[ $pages -gt 0 ] || { echo "FAIL: no pages installed"; exit 1; }
[ $status = 0 ] && echo "ok: $pages pages render without warnings, $links links resolve"
exit $status
