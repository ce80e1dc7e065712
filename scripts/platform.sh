# Sourced by the scripts: what this machine's kernel runs, which build the
# tests run, and whether a Wine prefix can start the programs we ship.
#
#   PENNANT_ARCH=i686|x86_64   run the tests (and demo, benches) on that build
#   PENNANT_NO_32BIT=1         behave as on a kernel without 32-bit support

# Whether the kernel runs 32-bit x86 code: a tiny 32-bit ELF written here,
# byte for byte (no tool needed), must start and exit with its own code.
# Some kernels are built or booted without IA-32 emulation, and there
# wine32 breaks every wine call, so nothing is assumed.
runs_32bit_code() {
  if [ -n "${PENNANT_NO_32BIT:-}" ]; then return 1; fi
  if [ -n "${PLATFORM_RUNS_32BIT:-}" ]; then [ "$PLATFORM_RUNS_32BIT" = yes ]; return; fi
  local dir rc=0
  dir="$(mktemp -d)"
  {
    # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054,
    # program headers at 52, header sizes 52 and 32, one program header.
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    # One loadable segment, the whole 96-byte file at 0x08048000, read+execute.
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # mov eax, 1 (exit); mov ebx, 42; int 0x80
    printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
  } >"$dir/probe32"
  chmod +x "$dir/probe32"
  "$dir/probe32" 2>/dev/null || rc=$?
  rm -rf "$dir"
  PLATFORM_RUNS_32BIT=no
  [ "$rc" = 42 ] && PLATFORM_RUNS_32BIT=yes
  [ "$PLATFORM_RUNS_32BIT" = yes ]
}

# Runs scripts/setup once for this script and the scripts it starts: what
# runs here depends on what setup could install.
ensure_setup() {
  [ -n "${PENNANT_SETUP_DONE:-}" ] && return 0
  "$(dirname "${BASH_SOURCE[0]}")/setup"
  export PENNANT_SETUP_DONE=1
}

# Sets TEST_ARCH (i686 or x86_64) and TEST_ARCH_WHY: the shipped i686 build
# wherever the machine runs it, the x86_64 twin where it cannot.
choose_test_arch() {
  ensure_setup
  case "${PENNANT_ARCH:-}" in
    i686|x86_64)
      TEST_ARCH="$PENNANT_ARCH"
      TEST_ARCH_WHY="asked for by PENNANT_ARCH" ;;
    "")
      if runs_32bit_code && has_wine32; then
        TEST_ARCH=i686
        TEST_ARCH_WHY="the shipped build; this kernel runs 32-bit code"
      elif runs_32bit_code; then
        TEST_ARCH=x86_64
        TEST_ARCH_WHY="the 64-bit twin; 32-bit Wine is not installed, setup could not install it"
      else
        TEST_ARCH=x86_64
        TEST_ARCH_WHY="the 64-bit twin; this kernel runs no 32-bit code"
      fi ;;
    *)
      echo "PENNANT_ARCH must be i686 or x86_64, not '$PENNANT_ARCH'" >&2
      return 1 ;;
  esac
  if [ "$TEST_ARCH" = i686 ] && ! runs_32bit_code; then
    echo "the i686 build cannot run here: this kernel runs no 32-bit code" >&2
    return 1
  fi
  if [ "$TEST_ARCH" = i686 ] && ! has_wine32; then
    echo "the i686 build cannot run here: 32-bit Wine is not installed (see scripts/setup)" >&2
    return 1
  fi
}

# Whether 32-bit Wine is installed (the wrapper then starts every program
# through the 32-bit loader, which needs the prefix's 32-bit half).
has_wine32() { [ -x /usr/lib/wine/wine ]; }

# A prefix made before wine32 was installed has no syswow64: there even a
# 64-bit program fails ("could not load kernel32.dll", exit code 53), so
# such a prefix is made anew.
renew_prefix_without_wow64() {
  local prefix="$1"
  [ -d "$prefix/drive_c" ] || return 0
  has_wine32 || return 0
  [ -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] && return 0
  echo "wine: $prefix was made without 32-bit Wine; making it anew" >&2
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}

# For the demo and the benches: BENCH_TREE, the test tree of the build that
# runs here (see choose_test_arch), announced in one line.
choose_bench_tree() {
  choose_test_arch
  BENCH_TREE="test-$TEST_ARCH"
  echo "${1:-bench}: the $TEST_ARCH build ($TEST_ARCH_WHY)"
}
