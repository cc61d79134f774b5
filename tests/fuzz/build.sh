#!/bin/sh
# Builds the libFuzzer target for the project file reader (not part of the CTest suite).
#   tests/fuzz/build.sh [output dir]
#   mkdir -p tests/fuzz/corpus-run
#   <output dir>/fuzz_project_file -max_total_time=600 -rss_limit_mb=2048 \
#       tests/fuzz/corpus-run tests/fuzz/corpus
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../src
out=${1:-${TMPDIR:-/tmp}/orvane-fuzz}
mkdir -p "$out"
libexec=$(qtpaths6 --query QT_HOST_LIBEXECS 2>/dev/null || echo /usr/lib/qt6/libexec)
"$libexec/moc" -I"$src" "$src/model/kxTree.h" -o "$out/moc_kxTree.cpp"
clang++ -std=c++20 -g -O1 -fPIC -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DQT_NO_KEYWORDS -I"$src" $(pkg-config --cflags Qt6Core) \
    "$here/fuzz_project_file.cpp" \
    "$src/storage/kxProjectFile.cpp" "$src/storage/kxXmlExport.cpp" "$src/storage/kxUtils.cpp" \
    "$src/model/kxLists.cpp" "$src/model/kxTree.cpp" "$src/model/kxDelimited.cpp" \
    "$src/lang/kxLanguages.cpp" "$out/moc_kxTree.cpp" \
    $(pkg-config --libs Qt6Core) -o "$out/fuzz_project_file"
echo "$out/fuzz_project_file"
