#!/usr/bin/env bash
# The shared library exports only unmangled public names, and none that
# would replace a C library function (gettimeofday, malloc, ...).
set -euo pipefail
lib=$1
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort -u)
status=0
mangled=$(grep -E '^_Z' <<<"$syms" || true)
if [ -n "$mangled" ]; then
  echo "mangled C++ symbols are exported:"; printf '  %s\n' $mangled; status=1
fi
libc=$(ldd "$lib" | awk '/libc\.so/ {print $3}')
libm=$(ldd "$lib" | awk '/libm\.so/ {print $3}')
clash=$(comm -12 <(printf '%s\n' "$syms") \
  <(nm -D --defined-only "$libc" ${libm:+"$libm"} | awk '{print $3}' | sed 's/@.*//' | sort -u))
if [ -n "$clash" ]; then
  echo "symbols that replace C library functions are exported:"; printf '  %s\n' $clash; status=1
fi
if grep -qx gettimeofday <<<"$syms"; then
  echo "gettimeofday is exported"; status=1
fi
for required in kx_log kx_log_raw kx_log_enable kx_log_disable torvi_log_cfg; do
  if ! grep -qx "$required" <<<"$syms"; then
    echo "missing export: $required"; status=1
  fi
done
count=$(grep -c . <<<"$syms" || true)
echo "$count exported symbols checked"
exit $status
