# Sourced by the service figures, from the repository's root: a product
# folder laid out by the packaging's script (without sample jobs; the
# monitor runs, with a start and a stop line per watch job) around the
# programs of BUILD, in a fresh folder that goes at the end together with
# the service started as $pid. Sets work, product, log and pid, and ms (now
# in milliseconds).
# usage: . bench/product_folder.sh BUILD NAME
work="$(mktemp -d "${TMPDIR:-/var/tmp}/qs-$2.XXXXXX")"
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
product="$work/Quillon Pro"
mkdir -p "$product/bin"
cp "$1/QuillonSrv" "$1/quillon-ini" "$product/bin/"
bash packaging/lay-out-product.sh --no-samples "$product" >/dev/null
log="$product/logs/DefaultLog.txt"
ms() { echo $(( $(date +%s%N) / 1000000 )); }
