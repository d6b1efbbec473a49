#!/usr/bin/env bash
# The decisions of the CI scripts that a new machine exercises: the Windows stage on a computer
# that cannot run 32-bit programs, and apt's package lists while a mirror is part way through
# an update. Stand-ins (a program the kernel refuses, an apt-get that fails) take the place of
# the machine and the mirror.
#
#   tests/scripts/ci_stages_test.sh SOURCE_DIR
set -uo pipefail
source_dir="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # description, then the condition as a command
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# A 32-bit program this kernel refuses: an ELF header whose rest is empty gives what a kernel
# without 32-bit support gives for every i386 program, "Exec format error".
{ printf '\177ELF\001\001\001\000'; head -c 88 /dev/zero; } > "$work/refused"
printf '#!/bin/sh\nexit 42\n' > "$work/runs"
chmod 755 "$work/refused" "$work/runs"
said="$(LENVARO_I386_PROGRAM="$work/refused" timeout 20 "$source_dir/scripts/check-windows" --can-run-32-bit)"
status=$?
check "a refused 32-bit program means no Wine (status $status)" test "$status" = 1
check "and says why: $said" grep -q "Exec format error" <<<"$said"
LENVARO_I386_PROGRAM="$work/runs" timeout 20 "$source_dir/scripts/check-windows" --can-run-32-bit
check "a 32-bit program that runs means Wine can" test $? = 0

# apt-get as a mirror part way through an update: its first APT_FAILS updates fail (100).
cat > "$work/apt-get" <<'STANDIN'
#!/bin/sh
echo "$*" >> "$APT_CALLS"
count=$(grep -c '^update' "$APT_CALLS")
if [ "$1" = update ] && [ "$count" -le "$APT_FAILS" ]; then exit 100; fi
exit 0
STANDIN
chmod 755 "$work/apt-get"
export LENVARO_APT_GET="$work/apt-get" LENVARO_APT_PAUSE=0 APT_CALLS="$work/calls"
APT_FAILS=2 timeout 20 "$source_dir/scripts/apt-install" wine32:i386 2>/dev/null
check "the lists are updated on the third try and the package installed (status $?)" \
  test "$(cat "$work/calls" | tr '\n' ,)" = "update -qq,update -qq,update -qq,install -y -qq --no-install-recommends wine32:i386,"
rm -f "$work/calls"
said="$(APT_FAILS=1000 timeout 20 "$source_dir/scripts/apt-install" 2>&1)"
status=$?
check "a mirror that stays broken fails the step (status $status)" test "$status" = 1
check "after a few tries, saying what happened: ${said##*$'\n'}" \
  grep -q "updating the package lists failed 7 times .*apt-get exited 100" <<<"$said"

if ((failures > 0)); then echo "$failures failed"; exit 1; fi
