# Sourced by the CI scripts: `stage NAME` ends the stage before it, printing
# its time, and begins the next; `stage ""` ends the last.
stage_start=$SECONDS
stage_name=""
stage() {
  [[ -z $stage_name ]] || echo "== $stage_name: $((SECONDS - stage_start)) s"
  stage_name=$1
  stage_start=$SECONDS
  [[ -z $stage_name ]] || echo "== $stage_name"
}
