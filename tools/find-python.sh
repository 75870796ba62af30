#!/bin/sh
# Prints the path of a CPython 3.13 interpreter, or explains how to get one.
# Looks at $PYTHON, python3.13 on PATH, then the usual pyenv and system places.
ok() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
for c in "${PYTHON:-}" "$(command -v python3.13 2>/dev/null)" \
         "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 \
         /root/.pyenv/versions/3.13*/bin/python3.13 \
         /usr/local/bin/python3.13 /usr/bin/python3.13; do
  [ -n "$c" ] && [ -x "$c" ] && ok "$c" && { echo "$c"; exit 0; }
done
echo "error: no CPython 3.13 interpreter found." >&2
echo "Install one (for example 'pyenv install 3.13') or set PYTHON=/path/to/python3.13." >&2
exit 1
