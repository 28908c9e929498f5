#!/usr/bin/env bash
# Checks the plug-in's dynamic symbols: it defines exactly one, bipGetMessageflowNodeFactory,
# and leaves the nineteen broker functions undefined for the loading process to provide.
set -euo pipefail
plugin=$1
nm=${2:-nm}  # a cross build passes the target's nm
defined=$("$nm" -D --defined-only "$plugin" | awk '{print $3}')
if [ "$defined" != "bipGetMessageflowNodeFactory" ]; then
  echo "expected exactly one exported symbol, bipGetMessageflowNodeFactory; found:" >&2
  echo "$defined" >&2
  exit 1
fi
undefined=$("$nm" -D --undefined-only "$plugin" | awk '{print $2}')
for function in cniCreateNodeFactory cniDefineNodeClass cniCreateInputTerminal \
    cniCreateOutputTerminal cniRootElement cniGetMessageContext cniCreateMessage \
    cniSearchFirstChild cniLastChild cniCopyElementTree cniElementCharacterValue \
    cniElementByteArrayValue cniSetElementByteArrayValue cniIsTerminalAttached cniPropagate \
    cniDeleteMessage cciLog cciGetLastExceptionData cciRethrowLastException; do
  if ! grep -qx "$function" <<<"$undefined"; then
    echo "broker function $function is not left undefined in the plug-in" >&2
    exit 1
  fi
done
echo "exports: bipGetMessageflowNodeFactory only; 19 broker functions undefined"
