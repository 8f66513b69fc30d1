# Sourced by the scripts that build (demo.sh, test.sh, package.sh): the one way they configure a
# build directory, so that the README's commands can share build/ whichever runs first.
#
#   korvane_configure SOURCE_DIR BUILD_DIR [cmake options...]
#
# A new directory gets Ninja and RelWithDebInfo. An existing one keeps the generator it was made
# with: CMake refuses to switch generators in place, and a build/ left by an older demo.sh (which
# used CMake's default, Unix Makefiles) must keep working rather than be thrown away.
korvane_configure() {
  local source=$1 dir=$2
  shift 2
  local generator=()
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    generator=(-G Ninja)
  fi
  cmake -S "$source" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}
