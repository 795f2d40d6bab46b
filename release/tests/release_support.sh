# shellcheck shell=bash
# Helpers of the release tests. Sourced; needs case_name, source_dir and work.
# shellcheck disable=SC2154 # those three are set by the script that sources this

skip() {
  echo "SKIPPED ($case_name): $*"
  exit 77
}

# Skips the test, naming the first of the programs given that is missing.
needs() {
  local program
  for program in "$@"; do
    command -v "$program" >/dev/null || skip "$program is not installed (scripts/setup-debian.sh installs it)"
  done
}

fail() {
  echo "FAIL ($case_name): $*" >&2
  exit 1
}

# Builds the release from a copy of the sources in FOLDER, with the build
# step run under WRAPPER if one is given; prints the path of the Quarvane.exe
# it ships.
build_copy() {
  local folder=$1
  shift
  mkdir -p "$folder"
  tar -C "$source_dir" --exclude=./build --exclude=./.tools -cf - . | tar -C "$folder" -xf -
  (cd "$folder" && cmake --preset windows-i686 -DBUILD_TESTING=OFF >"$work/configure.log" &&
    "$@" cmake --build --preset windows-i686 --target quarvane_release -j "$(nproc)" >"$work/build.log" 2>&1) ||
    fail "build failed: $(cat "$work/configure.log" "$work/build.log")"
  echo "$folder/build/windows-i686/release/shipped/Quarvane.exe"
}

resources() { i686-w64-mingw32-objcopy -O binary --only-section=.rsrc "$1" "$2"; }
