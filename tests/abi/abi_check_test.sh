#!/usr/bin/env bash
# The ABI checker's own tests: each deliberate breakage of a copy of the
# headers, or of a copy of the table, must turn it red with the difference
# named; the untouched copy must stay green.
#   abi_check_test.sh <win32 TavrikIPCapture.dll>
set -uo pipefail
cd "$(dirname "$0")/../.."
dll=$1
checker=scripts/abi_check.py
table=include/quenlix/host_abi.txt
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0

# mutate <file> <old> <new>: replaces text that must be there, so that no
# case passes because its breakage did not apply.
mutate() {
  python3 - "$1" "$2" "$3" <<'PY' || exit 1
import sys
path, old, new = sys.argv[1], sys.argv[2].encode().decode("unicode_escape"), sys.argv[3].encode().decode("unicode_escape")
text = open(path).read()
if old not in text:
    sys.exit(f"breakage does not apply: {old!r} not in {path}")
open(path, "w").write(text.replace(old, new, 1))
PY
}

# expect <name> <red|green> <pattern> <command...>
expect() {
  local name=$1 want=$2 pattern=$3 rc out
  shift 3
  out=$("$@" 2>&1)
  rc=$?
  if { [ "$want" = green ] && [ $rc -eq 0 ]; } ||
     { [ "$want" = red ] && [ $rc -ne 0 ] && grep -Eq "$pattern" <<< "$out"; }; then
    echo "abi-check self-test: $name: $want as expected"
    [ "$want" = green ] || grep -Em1 "$pattern" <<< "$out" | sed 's/^/    /'
    passed=$((passed + 1))
  else
    echo "abi-check self-test: $name: FAILED (wanted $want matching '$pattern', exit $rc)"
    echo "$out" | tail -n 15
    failed=$((failed + 1))
  fi
}

headers_case() {
  local name=$1 file=$2 old=$3 new=$4 pattern=$5
  local dir=$tmp/$name
  mkdir -p "$dir" && cp -r include/quenlix "$dir/"
  [ -z "$file" ] || mutate "$dir/quenlix/$file" "$old" "$new"
  expect "$name" "$([ -z "$file" ] && echo green || echo red)" "$pattern" \
    python3 "$checker" headers --include "$dir" --table "$table" --work "$dir.work"
}

# Header breakages: name | header | text | replaced by | what the report must name
headers_case untouched "" "" "" ""
headers_case reordered-slot ipcapture.h \
  "  virtual bool StartChannel(uint32_t index, IFrameSink* sink, IStreamSettings* settings) = 0;\n  virtual bool StopChannel(uint32_t index) = 0;\n" \
  "  virtual bool StopChannel(uint32_t index) = 0;\n  virtual bool StartChannel(uint32_t index, IFrameSink* sink, IStreamSettings* settings) = 0;\n" \
  "IIPVideoCapture slot 2: the table has StartChannel, clang i686-pc-windows-msvc .* has StopChannel"
headers_case overloaded-virtual ipcapture.h \
  "  virtual bool StopChannel(uint32_t index) = 0;\n" \
  "  virtual bool StopChannel(uint32_t index) = 0;\n  virtual bool StopChannel(uint32_t index, bool wait) = 0;\n" \
  "IIPVideoCapture slot 3 StopChannel: the table says it pops 4, clang i686-pc-windows-msvc .* pops 8"
headers_case argument-size media.h \
  "virtual void SetLength(uint32_t length) = 0;" "virtual void SetLength(uint64_t length) = 0;" \
  "IMediaSample slot 4 SetLength: the table says it pops 4, .* pops 8"
headers_case second-destructor io.h \
  "QUENLIX_INTERFACE_DESTRUCTOR(ICaptureIOApi)" \
  " public:\n  virtual void* DeletingDestructor(unsigned int flags) = 0;\n  virtual ~ICaptureIOApi() = default;" \
  "ICaptureIOApi slot 1: the table has SetEventSink, i686-w64-mingw32-g\+\+ .* has ~"
headers_case internal-header-reached io.h \
  '#include "quenlix/abi.h"' '#include "quenlix/abi.h"\n#include "quenlix/driver.h"' \
  "io.h includes the driver-only header driver.h"
headers_case undeclared-interface io.h \
  "class IIOEventSink {" "class IExtraSink {\n public:\n  virtual void Poke() = 0;\n};\n\nclass IIOEventSink {" \
  "class IExtraSink is not in the table"

# The DLL against a broken table: the reader must tell the slots and their
# pops apart.
dll_case() {
  local name=$1 old=$2 new=$3 pattern=$4
  cp "$table" "$tmp/$name.txt"
  [ -z "$old" ] || mutate "$tmp/$name.txt" "$old" "$new"
  expect "dll-$name" "$([ -z "$old" ] && echo green || echo red)" "$pattern" \
    python3 "$checker" dll --dll "$dll" --table "$tmp/$name.txt"
}
dll_case untouched "" "" ""
dll_case reordered-slot "  2 StartChannel 12\n  3 StopChannel 4\n" "  2 StopChannel 4\n  3 StartChannel 12\n" \
  "IIPVideoCapture slot 2: the table has StopChannel, the DLL .* has StartChannel"
dll_case argument-size "  1 Open 12\n" "  1 Open 8\n" \
  "IIPCaptureDriver slot 1 Open: the table says it pops 8, the DLL .* pops 12"

echo "abi-check self-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
