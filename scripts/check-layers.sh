#!/usr/bin/env bash
# Checks the layer rules on the source tree: no Qt below ui/ and setup/, and no
# POSIX or Linux system headers outside platform/.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0
posix='#include[[:space:]]*<(unistd|fcntl|termios|pthread|poll|dirent|dlfcn|signal|pty|utmp|langinfo|strings|syslog|libgen|glob|pwd|grp)\.h>|#include[[:space:]]*<(sys|linux|asm|netinet|arpa)/'
hits=$(grep -rnE "$posix" --include='*.h' --include='*.cpp' . 2>/dev/null | grep -vE '^\./(platform|build[^/]*|\.git)/' )
if [ -n "$hits" ]; then
  echo "POSIX headers outside platform/:"; echo "$hits"; status=1
fi
qt=$(grep -rnE '#include[[:space:]]*<Q[A-Za-z]+' --include='*.h' --include='*.cpp' platform foundation link model config history opc sim tools 2>/dev/null)
if [ -n "$qt" ]; then
  echo "Qt headers below ui/:"; echo "$qt"; status=1
fi
[ $status -eq 0 ] && echo "layers ok"
exit $status
