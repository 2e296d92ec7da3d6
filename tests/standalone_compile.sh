#!/bin/sh
# Compiles every library source file alone, with only the project root on the
# include path: a file that leans on another file's includes fails here.
compiler=$1
root=$2
status=0
for file in "$root"/platform/*.cpp "$root"/socketlib/*.cpp "$root"/utillib/*.cpp; do
  [ -e "$file" ] || continue
  if ! "$compiler" -std=c++20 -Wall -Wextra -fsyntax-only -I "$root" "$file"; then
    echo "does not compile on its own: $file"
    status=1
  fi
done
exit $status
