#!/usr/bin/env bash
# Prints the lines of code of the product and of the tests and their ratio, the last line
# "tests/product: N%". Lines of code are cloc's "code": neither blank nor comment (// and
# /* */ in C++, # and docstrings in Python, # in shell and CMake).
#   product: component/, tools/, composer/ less composer/tests/
#   tests:   tests/, composer/tests/
# Only source files count: C++ (*.cpp, *.hpp, *.h), Python (*.py), shell (*.sh) and CMake
# (CMakeLists.txt, *.cmake); fuzz corpora, icons, suppression lists and notes are data.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cloc >/dev/null || bash scripts/setup.sh

sources() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' \
    -o -name '*.sh' -o -name CMakeLists.txt -o -name '*.cmake' \) | sort
}

# --skip-uniqueness: cloc would otherwise count two files of the same text once.
count() {
  cloc --quiet --csv --skip-uniqueness --list-file=- | awk -F, '$2 == "SUM" { n = $5 } END { print n + 0 }'
}

product=$(sources component tools composer | grep -v '^composer/tests/' | count)
tests=$(sources tests composer/tests | count)

echo "product (component/, tools/, composer/ less composer/tests/): $product lines"
echo "tests (tests/, composer/tests/): $tests lines"
# Rounded to the nearest whole percent.
echo "tests/product: $(((200 * tests / product + 1) / 2))%"
