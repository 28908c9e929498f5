#!/usr/bin/env bash
# Checks the Windows plug-in DLL: it exports exactly one function, bipGetMessageflowNodeFactory,
# undecorated, and imports the broker functions from the broker's DLL.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {table = 1; next} table && NF == 0 {table = 0}
               table {print $NF}' <<<"$dump")
if [ "$exports" != "bipGetMessageflowNodeFactory" ]; then
  echo "expected exactly one export, bipGetMessageflowNodeFactory; found:" >&2
  echo "$exports" >&2
  exit 1
fi
for function in cniCreateNodeFactory cniPropagate cciLog cciRethrowLastException; do
  grep -q "$function" <<<"$dump" || { echo "$function is not imported" >&2; exit 1; }
done
echo "exports: bipGetMessageflowNodeFactory only; imports from: $(grep 'DLL Name' <<<"$dump" | awk '{print $3}' | tr '\n' ' ')"
