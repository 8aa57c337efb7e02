#!/usr/bin/env bash
# Checks the release archives of the Windows x86 and x64 builds: each holds
# the three programs, zemb and pausecheck, the operator's guide and the sample ROM
# configuration files, is no older than the programs it was made from,
# carries programs of its own architecture that need no DLL outside Windows
# itself (no MinGW runtime), and text files with CR LF line ends. With a native build folder
# the sample configurations are also read by the native ZembRomProgram on a
# simulated device of the same ROM, as an operator would use them.
#
# usage: check_packages.sh WINDOWS_X86_BUILD_DIR WINDOWS_X64_BUILD_DIR [NATIVE_BUILD_DIR]
# Exit 77 when neither Windows build is there (reported as skipped).
set -u
x86=${1:?usage: check_packages.sh WINDOWS_X86_BUILD_DIR WINDOWS_X64_BUILD_DIR [NATIVE_BUILD_DIR]}
x64=${2:?usage: check_packages.sh WINDOWS_X86_BUILD_DIR WINDOWS_X64_BUILD_DIR [NATIVE_BUILD_DIR]}
native=${3:-}
programs=(ZembRomProgram ZembRomMisc ZembIoAccess zemb pausecheck)
texts=(OPERATOR-GUIDE.txt W25Q80_SPI.cfg 24LC512_I2C.cfg)
# Windows' own DLLs; anything else (libstdc++-6, libgcc_s_*, libwinpthread-1)
# would be missing on the operator's machine.
allowed=" kernel32.dll msvcrt.dll ucrtbase.dll ole32.dll oleaut32.dll setupapi.dll winmm.dll
  advapi32.dll user32.dll gdi32.dll shell32.dll ntdll.dll rpcrt4.dll cfgmgr32.dll ksuser.dll
  bcrypt.dll ws2_32.dll version.dll shlwapi.dll comctl32.dll rstrtmgr.dll odbc32.dll crypt32.dll "
allowed=${allowed//$'\n'/ }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0 checked=0

fail() {
  failed=$((failed + 1))
  echo "FAIL: $1"
  shift
  [ $# -gt 0 ] && printf '%s\n' "$@" | head -20
}
pass() { passed=$((passed + 1)); }

check_archive() {  # arch, build dir, objdump, file format
  local arch=$1 build=$2 objdump=$3 format=$4
  if [ ! -f "$build/romprogram/ZembRomProgram.exe" ]; then
    echo "SKIPPED: no Windows $arch build at $build"
    return
  fi
  if ! command -v "$objdump" > /dev/null; then
    echo "SKIPPED: $objdump is not installed"
    return
  fi
  checked=$((checked + 1))
  local zips=("$build"/ZembTools-*-windows-"$arch".zip)
  if [ ! -f "${zips[0]}" ] || [ ${#zips[@]} -ne 1 ]; then
    fail "$arch: not one ZembTools-*-windows-$arch.zip in $build" \
      "(cmake --build $build --target package makes it)"
    return
  fi
  local zip=${zips[0]} top
  top=$(basename "$zip" .zip)
  local p
  for p in romprogram/ZembRomProgram rommisc/ZembRomMisc ioaccess/ZembIoAccess zemb/zemb \
    tests/wine/pausecheck; do
    if [ "$build/$p.exe" -nt "$zip" ]; then
      fail "$arch: $(basename "$zip") is older than $p.exe (cmake --build $build --target package)"
      return
    fi
  done

  local listing
  listing=$(cd "$work" && cmake -E tar tf "$zip" 2>&1)
  local want
  for want in "${programs[@]/%/.exe}" "${texts[@]}"; do
    if grep -qxF "$top/$want" <<< "$listing"; then pass; else
      fail "$arch: no $top/$want in $(basename "$zip")" "$listing"
    fi
  done

  local dir=$work/$arch
  mkdir -p "$dir"
  (cd "$dir" && cmake -E tar xf "$zip") || { fail "$arch: cannot unpack $zip"; return; }
  local program dlls dll bad
  for program in "${programs[@]}"; do
    local exe=$dir/$top/$program.exe
    [ -f "$exe" ] || continue
    local headers
    headers=$("$objdump" -p "$exe" 2>&1)
    if grep -q "file format $format" <<< "$headers"; then pass; else
      fail "$arch: $program.exe is not $format" "$(head -3 <<< "$headers")"
    fi
    # Windows 7 or later in the header, so an older system refuses the
    # program at once instead of failing on a missing entry point.
    if grep -qP '^MajorSubsystemVersion\s+6$' <<< "$headers" &&
      grep -qP '^MinorSubsystemVersion\s+1$' <<< "$headers"; then pass; else
      fail "$arch: $program.exe does not ask for subsystem version 6.1 (Windows 7)" \
        "$(grep -i 'SubsystemVersion' <<< "$headers")"
    fi
    # The application manifest in the resource section: run as the invoker
    # (no file virtualization), long paths, the supported systems.
    local rsrc=$work/$arch-$program.rsrc
    if "${objdump%objdump}objcopy" -O binary --only-section=.rsrc "$exe" "$rsrc" 2> /dev/null &&
      grep -qa 'requestedExecutionLevel level="asInvoker"' "$rsrc" &&
      grep -qa '<longPathAware[^>]*>true</longPathAware>' "$rsrc" &&
      grep -qa 'supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"' "$rsrc"; then pass; else
      fail "$arch: $program.exe has no application manifest in its .rsrc section"
    fi
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<< "$headers" | tr 'A-Z' 'a-z' | tr -d '\r')
    bad=""
    for dll in $dlls; do
      [[ $allowed == *" $dll "* ]] || bad+=" $dll"
    done
    if [ -z "$dlls" ]; then
      fail "$arch: $program.exe names no DLL at all (objdump -p)" "$(head -5 <<< "$headers")"
    elif [ -n "$bad" ]; then
      fail "$arch: $program.exe needs DLLs outside Windows:$bad"
    else
      pass
    fi
  done

  local text
  for text in "${texts[@]}"; do
    local f=$dir/$top/$text
    [ -f "$f" ] || continue
    if perl -0777 -ne 'exit(/(^|[^\r])\n/ || !/\r\n\z/ ? 1 : 0)' "$f"; then pass; else
      fail "$arch: $text does not have CR LF line ends"
    fi
    if grep -q '@[A-Z_]*@' "$f"; then fail "$arch: $text has an unreplaced @NAME@"; fi
  done
  [ "$arch" = x86 ] && cp "$dir/$top"/*.cfg "$work/" 2> /dev/null
}

check_archive x86 "$x86" i686-w64-mingw32-objdump pei-i386
check_archive x64 "$x64" x86_64-w64-mingw32-objdump pei-x86-64
if [ "$checked" -eq 0 ]; then exit 77; fi

# The sample configurations, as shipped, drive the tool on a matching ROM.
tool=$native/romprogram/ZembRomProgram zembsim=$native/sim/zembsim
if [ -n "$native" ] && [ -x "$tool" ] && [ -x "$zembsim" ] && [ -f "$work/W25Q80_SPI.cfg" ]; then
  for sample in "W25Q80_SPI.cfg spi 1048576 SPI" "24LC512_I2C.cfg i2c 65536 I2C"; do
    read -r cfg kind size name <<< "$sample"
    dev=$work/device-$kind
    mkdir -p "$dev"
    out=$(cd "$dev" && "$zembsim" plug --face cdrom --rom "$kind" --size "$size" > /dev/null &&
      "$tool" PRINT "$work/$cfg" $((size - 4096)) 2>&1)
    if [[ $out == *"Print - $name ROM Access"* && $out != *"Command Syntax"* ]]; then pass; else
      fail "$cfg does not drive PRINT on a $size-byte $name ROM" "$out"
    fi
  done
fi

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
