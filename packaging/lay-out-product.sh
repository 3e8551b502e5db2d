#!/usr/bin/env bash
# Lays out a product folder around an installed bin/ folder:
#   PRODUCT/bin/QuillonSrv, quillon-ini, quillon-trace   (already there)
#   PRODUCT/Quillon.ini, PRODUCT/bin/QuillonSrv.ini
#   PRODUCT/jobs/ with two scheduled sample jobs and one watch job,
#   PRODUCT/logs/, PRODUCT/lang/
#   PRODUCT/data/ with the sample jobs' source and target folders
# Settings already present are kept; the INI files are written with
# quillon-ini, exactly as the service reads them.
# usage: lay-out-product.sh PRODUCT_FOLDER
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
product="$(cd "$1" && pwd)"
ini="$product/bin/quillon-ini"
main="$product/Quillon.ini"

mkdir -p "$product/jobs" "$product/logs" "$product/lang" \
  "$product/data/Daily-in" "$product/data/Daily-out" \
  "$product/data/Reports-in" "$product/data/Reports-out" \
  "$product/data/Incoming-in" "$product/data/Incoming-out"

# Language files: the texts are kept in UTF-8; a locale with another
# character set gets them converted, as the service writes in that set.
codeset="$(locale charmap 2>/dev/null || echo UTF-8)"
for f in "$here"/lang/*.lng; do
  target="$product/lang/$(basename "$f")"
  [ -e "$target" ] && continue
  if [ "$codeset" = "UTF-8" ]; then cp "$f" "$target"
  else iconv -f UTF-8 -t "$codeset//TRANSLIT" "$f" > "$target"; fi
done

# Sets a key only when the file does not have it yet.
keep_or_set() {
  local file="$1" section="$2" key="$3" value="$4"
  if [ -z "$("$ini" get "$file" "$section" "$key")" ]; then
    "$ini" set "$file" "$section" "$key" "$value"
  fi
}

keep_or_set "$main" Options AppPath "$product"
keep_or_set "$main" Options Language Deutsch
keep_or_set "$main" Options WriteLog 1
keep_or_set "$main" Options CutLog 1
keep_or_set "$main" Options LogSize 100
keep_or_set "$main" ErrWin ShowDate 1
keep_or_set "$main" ErrWin ShowTime 1
keep_or_set "$main" Monitor RunNTMon 1
keep_or_set "$main" Monitor MonShowMsg 0
keep_or_set "$product/bin/QuillonSrv.ini" Files INI "$main"
keep_or_set "$product/bin/QuillonSrv.ini" Files Language "$product/lang/Deutsch.lng"

for job in Daily Reports; do
  f="$product/jobs/$job.qlj"
  keep_or_set "$f" Job From "$product/data/$job-in"
  keep_or_set "$f" Job To "$product/data/$job-out"
  keep_or_set "$f" Job Type 0
  keep_or_set "$f" Job Active 1
done
keep_or_set "$product/jobs/Reports.qlj" Job Pattern "*.txt;*.csv"

# The watch job: a file that lands in data/Incoming-in is carried over to
# data/Incoming-out about a second later.
f="$product/jobs/Incoming.qlj"
keep_or_set "$f" Job From "$product/data/Incoming-in"
keep_or_set "$f" Job To "$product/data/Incoming-out"
keep_or_set "$f" Job Type 2
keep_or_set "$f" Job Active 1
keep_or_set "$f" Job Delay 1
