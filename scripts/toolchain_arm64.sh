#!/usr/bin/env bash
# A clang toolchain for 64-bit ARM Windows (aarch64-w64-mingw32), made from
# Debian alone, for the windows-arm64 preset:
#
#   scripts/toolchain_arm64.sh
#
# Debian's clang-14, lld-14 and llvm-14 (installed when missing) compile and
# link; the mingw-w64 headers and C runtime (UCRT), compiler-rt's builtins,
# libunwind, libc++abi and libc++ are built for the target from Debian's own
# source packages (mingw-w64 and llvm-toolchain-14 of bookworm, fetched with
# an apt configuration of this script's own; the machine's sources are left
# as they are). Only static C++ runtime libraries are made, so that a module
# needs nothing beside it but the system's DLLs and the UCRT.
#
# The toolchain is made once, into
#   ${VDQRN_CACHE:-/var/cache/vdqrn}/toolchain-arm64-KEY
# where KEY is a hash of this script and the versions of the packages it is
# made of; it is built under a temporary name and renamed when whole, so that
# an interrupted build never looks complete. The link
# toolchain-arm64 beside it names the one made last, which
# cmake/toolchain-mingw-aarch64.cmake takes (VDQRN_ARM64_TOOLCHAIN overrides
# it). Progress goes to standard error; the folder is printed on standard
# output.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

triple=aarch64-w64-mingw32
suite=bookworm
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cache=${VDQRN_CACHE:-/var/cache/vdqrn}
script_path=$(pwd)/scripts/toolchain_arm64.sh

fail() {
  echo "toolchain_arm64: $*" >&2
  exit 1
}

{
  install_packages clang-14 lld-14 llvm-14 dpkg-dev make cmake ninja-build xz-utils ||
    fail "the tools to build with cannot be installed"
} >&2
mkdir -p "$cache"

# apt of our own, which knows only bookworm's source packages.
apt_root=$cache/apt-bookworm-sources
mkdir -p "$apt_root/lists/partial" "$apt_root/archives/partial" "$apt_root/etc"
cat >"$apt_root/etc/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main
EOF
cat >"$apt_root/etc/apt.conf" <<EOF
Dir::Etc::SourceList "$apt_root/etc/sources.list";
Dir::Etc::SourceParts "$apt_root/etc/sources.list.d";
Dir::State::Lists "$apt_root/lists";
Dir::Cache "$apt_root";
Dir::Cache::archives "$apt_root/archives";
APT::Sandbox::User "root";
EOF
mkdir -p "$apt_root/etc/sources.list.d"
own_apt() { APT_CONFIG=$apt_root/etc/apt.conf "$@"; }
if ! own_apt apt-get update -q >"$apt_root/update.log" 2>&1; then
  # Lists fetched before still name the versions to build (and the
  # toolchain made of them may be in the cache already).
  ls "$apt_root/lists"/*Sources* >/dev/null 2>&1 ||
    fail "cannot fetch $suite's source package lists: $(grep -E '^(E|W):' "$apt_root/update.log" | head -1)"
  echo "toolchain_arm64: $suite's source lists could not be refreshed; using the ones fetched before" >&2
fi
source_version() {
  own_apt apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1
}
mingw_version=$(source_version mingw-w64)
llvm_version=$(source_version llvm-toolchain-14)
[ -n "$mingw_version" ] && [ -n "$llvm_version" ] ||
  fail "$suite's source lists name no mingw-w64 or llvm-toolchain-14"
tools_versions=$(dpkg-query -W -f='${Package}=${Version}\n' clang-14 lld-14 llvm-14)
key=$( {
  cat "$script_path"
  echo "mingw-w64=$mingw_version llvm-toolchain-14=$llvm_version"
  echo "$tools_versions"
} | sha256sum | cut -c1-16)
prefix=$cache/toolchain-arm64-$key
reuse() {
  [ -x "$prefix/bin/$triple-clang++" ] || return 0
  ln -sfn "${prefix##*/}" "$cache/toolchain-arm64"
  echo "$prefix"
  exit 0
}
reuse
# One run at a time makes a toolchain; another one waits and takes it.
exec 9>"$prefix.lock"
flock 9
reuse

started=$(date +%s)
work=$cache/toolchain-arm64-$key.building
remove_folder "$work"
mkdir -p "$work/src" "$work/build"
staged=$work/toolchain
sysroot=$staged/$triple
mkdir -p "$staged/bin" "$sysroot"

step "fetching mingw-w64 $mingw_version and llvm-toolchain-14 $llvm_version" >&2
(cd "$work/src" && own_apt apt-get source -q --download-only \
  "mingw-w64=$mingw_version" "llvm-toolchain-14=$llvm_version") >&2 ||
  fail "cannot fetch the source packages"

step "unpacking" >&2
(cd "$work/src" && dpkg-source -x mingw-w64_*.dsc mingw-w64) >&2
# llvm-toolchain-14 unpacks to several GB: only the runtimes and the build
# files they take come out of its original tarball. Debian's patches to it
# concern its own Linux packaging and are not applied.
llvm_tar=$(ls "$work/src"/llvm-toolchain-14_*.orig.tar.xz)
llvm_top=$({ tar -tJf "$llvm_tar" || true; } | head -1 | cut -d/ -f1)
mkdir -p "$work/src/llvm"
tar -xJf "$llvm_tar" -C "$work/src/llvm" --strip-components=1 \
  "$llvm_top/cmake" "$llvm_top/runtimes" "$llvm_top/compiler-rt" "$llvm_top/libunwind" \
  "$llvm_top/libcxxabi" "$llvm_top/libcxx" "$llvm_top/llvm/cmake" "$llvm_top/llvm/utils/llvm-lit" \
  "$llvm_top/llvm/utils/lit"
llvm=$work/src/llvm

# The compiler drivers: clang-14 aimed at the target, with this folder as
# its system root and a resource folder of its own (clang's headers, and
# the builtins made below). Link-only options are given only when linking,
# so that a compile with warnings as errors does not fail on them.
resource=lib/clang/$(clang-14 -dumpversion)
mkdir -p "$staged/$resource/lib/windows"
cp -r "$(clang-14 -print-resource-dir)/include" "$staged/$resource/"
for driver in clang:clang-14 clang++:clang++-14; do
  # libc++ is the C++ driver's only (the C one would warn that it is
  # unused). The runtime is static: libc++abi's header must not declare its
  # functions as imported from a DLL (libc++'s own says so by itself).
  stdlib=
  [ "${driver%%:*}" = clang++ ] && stdlib="-stdlib=libc++ -D_LIBCXXABI_DISABLE_VISIBILITY_ANNOTATIONS"
  cat >"$staged/bin/$triple-${driver%%:*}" <<EOF
#!/bin/sh
# ${driver#*:} for $triple, with this toolchain's headers and libraries.
top=\$(cd "\$(dirname "\$(readlink -f "\$0")")/.." && pwd)
linking=yes
for argument in "\$@"; do
  case \$argument in -c | -S | -E | -M | -MM | -fsyntax-only) linking= ;; esac
done
set -- --target=$triple --sysroot="\$top" -resource-dir="\$top/$resource" $stdlib "\$@"
[ -n "\$linking" ] && set -- -rtlib=compiler-rt -unwindlib=libunwind --ld-path=/usr/bin/ld.lld-14 "\$@"
exec ${driver#*:} "\$@"
EOF
  chmod +x "$staged/bin/$triple-${driver%%:*}"
done
for tool in ar ranlib dlltool objdump readobj strip nm; do
  ln -s "/usr/bin/llvm-$tool-14" "$staged/bin/$triple-$tool"
done
# llvm-windres takes its target from the name it is called by, and
# preprocesses with the first "clang" on PATH: this toolchain's C driver.
mkdir -p "$staged/libexec"
ln -s "../bin/$triple-clang" "$staged/libexec/clang"
cat >"$staged/bin/$triple-windres" <<EOF
#!/bin/bash
# llvm-windres-14 for $triple, preprocessing with this toolchain's headers.
top=\$(cd "\$(dirname "\$(readlink -f "\$0")")/.." && pwd)
PATH="\$top/libexec:\$PATH" exec -a $triple-windres llvm-windres-14 "\$@"
EOF
chmod +x "$staged/bin/$triple-windres"
cc=$staged/bin/$triple-clang
cxx=$staged/bin/$triple-clang++

step "mingw-w64 headers" >&2
mkdir -p "$work/build/headers"
(cd "$work/build/headers" &&
  "$work/src/mingw-w64/mingw-w64-headers/configure" --host=$triple --prefix="$sysroot" \
    --with-default-msvcrt=ucrt --with-default-win32-winnt=0x0A00 &&
  make install) >"$work/build/headers.log" 2>&1 || fail "mingw-w64 headers: see $work/build/headers.log"

step "mingw-w64 C runtime (UCRT)" >&2
mkdir -p "$work/build/crt"
(cd "$work/build/crt" &&
  "$work/src/mingw-w64/mingw-w64-crt/configure" --host=$triple --prefix="$sysroot" \
    --disable-lib32 --disable-lib64 --enable-libarm64 --with-default-msvcrt=ucrt \
    CC="$cc" AR="$staged/bin/$triple-ar" RANLIB="$staged/bin/$triple-ranlib" \
    DLLTOOL="$staged/bin/$triple-dlltool" &&
  make -j2 && make install) >"$work/build/crt.log" 2>&1 || fail "mingw-w64 C runtime: see $work/build/crt.log"

cmake_common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
  -DCMAKE_C_COMPILER_WORKS=TRUE -DCMAKE_CXX_COMPILER_WORKS=TRUE
  -DCMAKE_AR="$staged/bin/$triple-ar" -DCMAKE_RANLIB="$staged/bin/$triple-ranlib"
  -DCMAKE_C_COMPILER_TARGET=$triple -DCMAKE_CXX_COMPILER_TARGET=$triple)

step "compiler-rt builtins" >&2
(cmake -S "$llvm/compiler-rt/lib/builtins" -B "$work/build/builtins" "${cmake_common[@]}" \
  -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE -DCOMPILER_RT_BUILD_BUILTINS=TRUE \
  -DLLVM_CONFIG_PATH= -DCOMPILER_RT_INCLUDE_TESTS=OFF &&
  cmake --build "$work/build/builtins" -j2) >"$work/build/builtins.log" 2>&1 ||
  fail "compiler-rt builtins: see $work/build/builtins.log"
cp "$(find "$work/build/builtins" -name 'libclang_rt.builtins-aarch64.a' | head -1)" \
  "$staged/$resource/lib/windows/"

# HAS_THREAD_LOCAL: libc++abi keeps each thread's exception state in a
# thread_local rather than in a fiber-local slot whose callback it never
# frees; a DLL with this runtime in it (the module, an instrument library)
# would leave that callback behind when it is unloaded, and the process
# would jump into unmapped code at its next thread's end.
step "libunwind, libc++abi, libc++ (static)" >&2
(cmake -S "$llvm/runtimes" -B "$work/build/runtimes" "${cmake_common[@]}" \
  -DCMAKE_CXX_FLAGS=-DHAS_THREAD_LOCAL \
  -DCMAKE_INSTALL_PREFIX="$sysroot" -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
  -DLLVM_INCLUDE_TESTS=OFF -DLLVM_INCLUDE_DOCS=OFF \
  -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_ENABLE_STATIC=ON \
  -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
  -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_LIBDIR_SUFFIX= -DLIBCXXABI_INCLUDE_TESTS=OFF \
  -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_ENABLE_SHARED=OFF \
  -DLIBCXX_ENABLE_STATIC=ON -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON -DLIBCXX_LIBDIR_SUFFIX= \
  -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
  -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF &&
  cmake --build "$work/build/runtimes" -j2 &&
  cmake --install "$work/build/runtimes") >"$work/build/runtimes.log" 2>&1 ||
  fail "C++ runtime: see $work/build/runtimes.log"

if llvm-nm-14 -A "$sysroot/lib/libc++.a" | grep -q 'cxa_exception_storage.*U .*libcpp_tls_create'; then
  fail "libc++abi keeps its exception state in a fiber-local slot (HAS_THREAD_LOCAL not taken)"
fi

step "checking: a C++ program with a throw and a catch" >&2
cat >"$work/build/probe.cc" <<'EOF'
#include <cxxabi.h>
#include <cstdlib>
#include <stdexcept>
#include <string>
int main() {
  int status = 0;
  std::free(abi::__cxa_demangle("i", nullptr, nullptr, &status));
  try {
    throw std::runtime_error(std::to_string(42));
  } catch (const std::exception& e) {
    return std::string(e.what()) == "42" ? 0 : 1;
  }
}
EOF
# Linked with warnings as errors: no runtime symbol may be taken for a DLL's.
"$cxx" -std=c++17 -static -Wl,--fatal-warnings -o "$work/build/probe.exe" "$work/build/probe.cc" >&2 ||
  fail "the new toolchain cannot build a C++ program"
llvm-readobj-14 --file-headers "$work/build/probe.exe" | grep -q 'IMAGE_FILE_MACHINE_ARM64' ||
  fail "the probe is not an arm64 program"
printf '#include <winver.h>\n1 VERSIONINFO FILEVERSION 1,0,0,0 {}\n' >"$work/build/probe.rc"
"$staged/bin/$triple-windres" -O coff -o "$work/build/probe.res.o" "$work/build/probe.rc" >&2 &&
  llvm-readobj-14 --file-headers "$work/build/probe.res.o" | grep -q 'IMAGE_FILE_MACHINE_ARM64' ||
  fail "the new toolchain's windres cannot compile a version resource"

{
  echo "key=$key"
  echo "mingw-w64=$mingw_version"
  echo "llvm-toolchain-14=$llvm_version"
  echo "$tools_versions"
  echo "built=$(date -u +%FT%TZ) in $(($(date +%s) - started)) s"
} >"$staged/INPUTS"
work_mb=$(du -sm "$work" | cut -f1)
mv "$staged" "$prefix"
remove_folder "$work"
ln -sfn "${prefix##*/}" "$cache/toolchain-arm64"
echo "toolchain_arm64: made in $(($(date +%s) - started)) s; $(du -sm "$prefix" | cut -f1) MB kept, $work_mb MB while building" >&2
echo "$prefix"
