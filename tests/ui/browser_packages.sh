# Sourced by the browser test runners: the pinned playwright-core, installed
# once per work folder from tests/ui/package-lock.json.
#
#   install_browser_packages SOURCE_DIR WORK_DIR
install_browser_packages() {
  local source_dir=$1 work_dir=$2 file
  mkdir -p "$work_dir"
  for file in package.json package-lock.json; do
    cmp -s "$source_dir/tests/ui/$file" "$work_dir/$file" || cp "$source_dir/tests/ui/$file" "$work_dir/$file"
  done
  if [[ ! -f $work_dir/node_modules/playwright-core/package.json || $work_dir/package-lock.json -nt $work_dir/node_modules ]]; then
    (cd "$work_dir" && npm ci --no-audit --no-fund --loglevel=error) || { echo "npm ci failed"; return 1; }
    touch "$work_dir/node_modules"
  fi
}
