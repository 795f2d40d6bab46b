#!/usr/bin/env bash
# Builds the program and runs it on a demo system folder made for the purpose,
# with a stand-in "net" whose service commands succeed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh demo
cmake --preset linux -B build/demo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target quarvane >/dev/null

demo=$(mktemp -d /tmp/quarvane-demo.XXXXXX)
system="$demo/Windows/System32"
catroot="$system/catroot"
mkdir -p "$demo/bin" "$catroot"
cp tests/fixtures/net "$demo/bin/net"

cd "$catroot"
mkdir '{1A2B3C4D-0000-4000-8000-00000000000A}'          # stray: renamed
mkdir '{5e6f7a8b-1111-4111-8111-11111111111b}'          # stray, lower case: renamed
mkdir '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'          # reserved: kept
mkdir '{127d0a1d-4ef2-11d1-8608-00c04fc295ee}'          # reserved, lower case: kept
mkdir '{2C3D4E5F-2222-4222-8222-22222222222C}'          # holds a catalog: kept
touch '{2C3D4E5F-2222-4222-8222-22222222222C}/oem1.cat'
mkdir '{3D4E5F60-3333-4333-8333-33333333333D}.old'      # renamed by an earlier run: kept
mkdir 'Catalogs' 'not-a-guid'                            # not GUIDs: kept
touch '{4E5F6071-4444-4444-8444-44444444444E}'          # a file, not a folder: kept
cd - >/dev/null

# Every entry of the catalog folder, a folder with a trailing "/".
show_catroot() {
  (cd "$catroot" && find . -mindepth 1 \( -type d -printf '  %P/\n' -o -printf '  %P\n' \) | sort)
}

echo "== $catroot before:"
show_catroot
echo
echo "== quarvane (QUARVANE_SYSTEM_DIR=$system):"
PATH="$demo/bin:$PATH" QUARVANE_SYSTEM_DIR="$system" ./build/demo/bin/quarvane
echo "   exit status: $?"
echo
echo "== $catroot after:"
show_catroot
rm -rf "$demo"
