#!/usr/bin/env bash
# Makes a C locale with a decimal comma (de_DE.UTF-8) available, so that the
# test of the log's layout under such a locale runs instead of skipping.
# Installing and generating a locale needs root; anyone else gets a note on
# standard error, the script succeeds and that one test skips.
set -euo pipefail
name=de_DE.UTF-8
installed() { locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; }
installed && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "note: locale $name is not installed and only root can generate it; the decimal-comma locale test will skip" >&2
  exit 0
fi
"$(dirname "${BASH_SOURCE[0]}")/install-deps.sh" locales
# locale-gen builds every locale listed in /etc/locale.gen, so the locale is
# listed there (uncommented or added) and survives later regenerations.
if grep -q "^# *$name UTF-8" /etc/locale.gen 2>/dev/null; then
  sed -i "s/^# *\($name UTF-8\)/\1/" /etc/locale.gen
elif ! grep -q "^$name UTF-8" /etc/locale.gen 2>/dev/null; then
  echo "$name UTF-8" >>/etc/locale.gen
fi
echo "generating locale $name"
locale-gen >/dev/null
if ! installed; then
  echo "locale-gen did not make locale $name" >&2
  exit 1
fi
