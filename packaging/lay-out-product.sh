#!/usr/bin/env bash
# Lays out a product folder around an installed bin/ folder:
#   PRODUCT/bin/QuillonSrv, quillon-ini, quillon-trace   (already there)
#   PRODUCT/Quillon.ini, PRODUCT/bin/QuillonSrv.ini
#   PRODUCT/jobs/ with two scheduled sample jobs and one watch job,
#   PRODUCT/logs/, PRODUCT/lang/
#   PRODUCT/data/ with the sample jobs' source and target folders
# usage: lay-out-product.sh [--no-samples] PRODUCT_FOLDER [WINDOWS_FOLDER]
#
# --no-samples leaves out the sample jobs and data/ (the Debian package's
# postinst: the administrator writes the jobs). The language files are
# copied only when they lie beside this script (the package brings its own).
#
# For Linux the INI files name PRODUCT_FOLDER; settings already present are
# kept, and the files are written with quillon-ini, exactly as the service
# reads them. With WINDOWS_FOLDER the folder is laid out for Windows, where
# the product will lie in WINDOWS_FOLDER ("C:\Quillon Pro"): the INI files
# name that folder, have CR LF line ends and are written only where missing
# (a file present is kept as it is), and the language files are in code
# page 1252, the ANSI code page of the product's machines.
set -euo pipefail
# Job files and the jobs folder that others may write are never run.
umask 022
here="$(cd "$(dirname "$0")" && pwd)"
samples=1
if [ "${1:-}" = --no-samples ]; then samples=0; shift; fi
product="$(cd "$1" && pwd)"
windows="${2:-}"

mkdir -p "$product/jobs" "$product/logs" "$product/lang"
if [ "$samples" = 1 ]; then
  mkdir -p "$product/data/Daily-in" "$product/data/Daily-out" \
    "$product/data/Reports-in" "$product/data/Reports-out" \
    "$product/data/Incoming-in" "$product/data/Incoming-out"
fi

# Language files: the texts are kept in UTF-8 and converted to the code
# page the service writes in (the C locale's ASCII counts as UTF-8, as the
# service takes it).
if [ -n "$windows" ]; then codeset=CP1252
else codeset="$(locale charmap 2>/dev/null || echo UTF-8)"; fi
[ "$codeset" = "ANSI_X3.4-1968" ] && codeset=UTF-8
for f in "$here"/lang/*.lng; do
  [ -e "$f" ] || continue
  target="$product/lang/$(basename "$f")"
  [ -e "$target" ] && continue
  if [ "$codeset" = "UTF-8" ]; then cp "$f" "$target"
  else iconv -f UTF-8 -t "$codeset//TRANSLIT" "$f" > "$target"; fi
done

# FILE|SECTION|KEY|VALUE; "@" in a value stands for the product folder, and
# "/" after it separates its parts.
settings=(
  "Quillon.ini|Options|AppPath|@"
  "Quillon.ini|Options|Language|Deutsch"
  "Quillon.ini|Options|WriteLog|1"
  "Quillon.ini|Options|CutLog|1"
  "Quillon.ini|Options|LogSize|100"
  "Quillon.ini|ErrWin|ShowDate|1"
  "Quillon.ini|ErrWin|ShowTime|1"
  "Quillon.ini|Monitor|RunNTMon|1"
  "Quillon.ini|Monitor|MonShowMsg|0"
  "bin/QuillonSrv.ini|Files|INI|@/Quillon.ini"
  "bin/QuillonSrv.ini|Files|Language|@/lang/Deutsch.lng"
)
if [ "$samples" = 1 ]; then
  for job in Daily Reports; do
    settings+=("jobs/$job.qlj|Job|From|@/data/$job-in"
               "jobs/$job.qlj|Job|To|@/data/$job-out"
               "jobs/$job.qlj|Job|Type|0"
               "jobs/$job.qlj|Job|Active|1")
  done
  settings+=("jobs/Reports.qlj|Job|Pattern|*.txt;*.csv")
  # The watch job: a file that lands in data/Incoming-in is carried over to
  # data/Incoming-out about a second later.
  settings+=("jobs/Incoming.qlj|Job|From|@/data/Incoming-in"
             "jobs/Incoming.qlj|Job|To|@/data/Incoming-out"
             "jobs/Incoming.qlj|Job|Type|2"
             "jobs/Incoming.qlj|Job|Active|1"
             "jobs/Incoming.qlj|Job|Delay|1")
fi

value_for() {
  local v="$1"
  [ "${v:0:1}" = "@" ] || { printf '%s' "$v"; return; }
  if [ -n "$windows" ]; then printf '%s' "$windows${v:1}" | tr '/' '\\'
  else printf '%s' "$product${v:1}"; fi
}

if [ -z "$windows" ]; then
  ini="$product/bin/quillon-ini"
  for s in "${settings[@]}"; do
    IFS='|' read -r file section key value <<<"$s"
    if [ -z "$("$ini" get "$product/$file" "$section" "$key")" ]; then
      "$ini" set "$product/$file" "$section" "$key" "$(value_for "$value")"
    fi
  done
  exit 0
fi

# Windows: each missing file written whole, its keys in the order above.
declare -A text section_of
files=()
for s in "${settings[@]}"; do
  IFS='|' read -r file section key value <<<"$s"
  [ -e "$product/$file" ] && continue
  if [ -z "${text[$file]+set}" ]; then files+=("$file"); text[$file]=""; fi
  if [ "${section_of[$file]:-}" != "$section" ]; then
    text[$file]+="[$section]"$'\r\n'
    section_of[$file]="$section"
  fi
  text[$file]+="$key=$(value_for "$value")"$'\r\n'
done
for file in "${files[@]}"; do
  printf '%s' "${text[$file]}" > "$product/$file"
done
