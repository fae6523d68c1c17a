#!/usr/bin/env bash
# Uploads a release of the page (a site/ folder as the build publishes it)
# into the folder that a server serves: DEST is a local folder or any rsync
# destination (host:folder, rsync://host/module/folder). Every step goes
# through rsync, which writes each file into DEST/.uploading under a
# temporary name and renames it into place: a visitor gets a file whole, of
# one release or the other, and an unfinished file is never under a name
# that a page asks for (the README's server block serves no name that
# begins with a dot). A run that was stopped inside a file leaves it in
# DEST/.uploading; the next run empties that folder before it uploads
# anything, and removes it when it is done.
#
# The order, so that a visitor who comes at any moment gets a page whose
# files are all there:
#   1. the files named by their content ("page.8e7f3c3cd459c9af.js"): new
#      names that nothing served names yet. A file of that name that DEST
#      already holds with other content is never overwritten: the upload
#      stops before its first step and says so. A file of SITE whose
#      content does not match its name stops it too.
#   2. manifest.webmanifest, the udev rule, release.json (and any other
#      file that keeps its name, but the pages and the worker);
#   3. sw.js;
#   4. the pages, index.html last.
# Unchanged files are left as they are (compared by content).
#
# The files named by content of the releases before stay, for tabs still
# open on them: DEST/.releases remembers, for each release uploaded, its
# version and its files named by their content, and after the upload the
# files of all but the last N releases (--keep N, at least and by default 2:
# the new one and the one before it) are deleted, unless a kept release
# names them too. The release that DEST served before the upload counts as
# uploaded even when it came there another way (its release.json names its
# files); files that no release in DEST/.releases named are left alone.
# Every name read back from DEST (.releases, the served release.json) must
# be a plain path of a file named by its content: no "..", no wildcard, no
# leading dot or slash; any other stops the upload before anything is
# uploaded or deleted.
#
# --each COMMAND runs COMMAND with bash after each step (UPLOAD_STEP holds
# the step's files), before the next step begins, e.g. to purge a caching
# proxy's copy, or for a test to load the page in between; the upload stops
# if it fails. Each step is announced on standard output as
# "uploaded: FILE ..." before its COMMAND runs.
#
# Run tools/check-site URL after each upload.
#
# usage: tools/upload-site.sh SITE DEST [--keep N] [--each COMMAND]
set -euo pipefail
# Names read from DEST are split into words, never expanded as patterns.
set -f

usage() {
  echo "usage: upload-site.sh SITE DEST [--keep N] [--each COMMAND]" >&2
  exit 2
}
fail() {
  echo "upload-site: $*" >&2
  exit 1
}

keep=2
each=""
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) [ $# -ge 2 ] || usage; keep="$2"; shift 2 ;;
    --each) [ $# -ge 2 ] || usage; each="$2"; shift 2 ;;
    -*) usage ;;
    *) args+=("$1"); shift ;;
  esac
done
[ ${#args[@]} -eq 2 ] || usage
if ! [[ "$keep" =~ ^[0-9]+$ ]] || [ "$keep" -lt 2 ]; then
  echo "upload-site: --keep $keep: keep 2 releases or more (the new one and the one before it, for tabs still open on it)" >&2
  exit 2
fi
site="${args[0]%/}"
dest="${args[1]}"
# DEST's own name for one of its files, and for itself as rsync's target.
at() {
  case "$dest" in
    *:) printf '%s%s' "$dest" "$1" ;;
    *) printf '%s/%s' "${dest%/}" "$1" ;;
  esac
}
target="$(at "")"

for name in index.html sw.js release.json; do
  [ -f "$site/$name" ] || fail "$site/$name is missing: SITE is a folder as tools/publish_web_folder.py writes it"
done
command -v rsync >/dev/null || fail "rsync is missing (tools/install-deps.sh installs it)"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# ------------------------------------------------------------ the release

CONTENT_NAMED='\.[0-9a-f]{16}\.[a-z0-9]+$'
# A file named by its content that may be deleted in DEST: plain folder and
# file names, none beginning with a dot.
PLAIN_CONTENT_NAMED='^([A-Za-z0-9_-][A-Za-z0-9._-]*/)*[A-Za-z0-9_-][A-Za-z0-9._-]*\.[0-9a-f]{16}\.[a-z0-9]+$'
# Where rsync writes each file before it renames it into place.
PARTIAL=.uploading

# Names that go into DEST/.releases, or come back from DEST ($1 says
# where), and may be deleted one day: any that is not a plain file named by
# its content (a hand-edited or damaged record) stops the upload, before
# anything is uploaded or deleted.
check_names() {
  local where="$1" name
  shift
  for name in "$@"; do
    [[ "$name" =~ $PLAIN_CONTENT_NAMED ]] ||
      fail "$where: \"$name\" is not a file named by its content (plain names: letters, digits, '.', '_', '-', and '/' between folders); nothing was uploaded or deleted"
  done
}
content=()
others=()
pages=()
while IFS= read -r file; do
  if [[ "$file" =~ $CONTENT_NAMED ]]; then
    content+=("$file")
  elif [ "$file" = sw.js ]; then
    :
  elif [[ "$file" == *.html ]]; then
    [ "$file" = index.html ] || pages+=("$file")
  else
    others+=("$file")
  fi
done < <(cd "$site" && find . -type f ! -path '*/.*' | sed 's|^\./||' | LC_ALL=C sort)
pages+=(index.html)

# The release's version and the names in a release.json (names are plain:
# letters, digits, '.', '_', '-' and '/').
release_version() {
  sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$1" | head -n 1
}
release_content_files() {
  grep -oE '"[A-Za-z0-9._/-]+"' "$1" | tr -d '"' | grep -E "$CONTENT_NAMED" || true
}
version="$(release_version "$site/release.json")"
[ -n "$version" ] || fail "$site/release.json names no version"

if [ ${#content[@]} -gt 0 ]; then
  while read -r digest file; do
    file="${file#\*}"
    named="$(sed -E 's/.*\.([0-9a-f]{16})\.[a-z0-9]+$/\1/' <<<"$file")"
    [ "${digest:0:16}" = "$named" ] ||
      fail "$site/$file: its content (SHA-256 ${digest:0:16}...) does not match its name; publish the folder again"
  done < <(cd "$site" && sha256sum -- "${content[@]}")
fi
check_names "$site" "${content[@]}"

# ------------------------------------------------------------ DEST as it is

# Copies DEST's `name` to `copy`; fails (1) when DEST has no such file.
fetch_from_dest() {
  local code=0
  rsync -q "$(at "$1")" "$2" </dev/null 2>"$tmp/error" || code=$?
  if [ $code -eq 0 ]; then
    return 0
  fi
  if [ $code -eq 23 ] && grep -q "No such file or directory" "$tmp/error"; then
    return 1
  fi
  fail "cannot read $(at "$1"): $(cat "$tmp/error")"
}

# A file named by its content that DEST holds with other content: one of
# the two is not what its name says, and a page of either release could
# get the wrong one. Nothing is uploaded.
if [ ${#content[@]} -gt 0 ]; then
  printf '%s\n' "${content[@]}" >"$tmp/content"
  code=0
  rsync --dry-run --checksum --files-from="$tmp/content" --out-format='%i %n' "$site/" "$target" \
    </dev/null >"$tmp/compare" 2>"$tmp/error" || code=$?
  # A DEST that does not exist yet holds nothing to compare.
  if [ $code -ne 0 ] && ! grep -q "No such file or directory" "$tmp/error"; then
    fail "cannot compare with $target: $(cat "$tmp/error")"
  fi
  conflicts="$(grep -E '^>f' "$tmp/compare" | grep -vE '^>f\+' | cut -d' ' -f2- || true)"
  if [ -n "$conflicts" ]; then
    fail "$target holds $(tr '\n' ' ' <<<"$conflicts")with other content than $site; a file named by its content is never overwritten: find out how it came there (nothing was uploaded)"
  fi
fi

# The releases uploaded before, oldest first: "VERSION FILE ..." each.
record_versions=()
record_files=()
remember() {
  local i kept_versions=() kept_files=()
  for i in "${!record_versions[@]}"; do
    if [ "${record_versions[$i]}" != "$1" ]; then
      kept_versions+=("${record_versions[$i]}")
      kept_files+=("${record_files[$i]}")
    fi
  done
  record_versions=("${kept_versions[@]}" "$1")
  record_files=("${kept_files[@]}" "$2")
}
if fetch_from_dest .releases "$tmp/releases"; then
  line=0
  while read -r v files; do
    line=$((line + 1))
    [ -n "$v" ] && [ "${v:0:1}" != "#" ] || continue
    [[ "$v" =~ ^[A-Za-z0-9._+-]+$ ]] ||
      fail "$(at .releases), line $line: \"$v\" is not a version; nothing was uploaded or deleted (correct or remove it)"
    check_names "$(at .releases), line $line" $files
    remember "$v" "$files"
  done <"$tmp/releases"
fi
if fetch_from_dest release.json "$tmp/served.json"; then
  served="$(release_version "$tmp/served.json")"
  last=""
  [ ${#record_versions[@]} -eq 0 ] || last="${record_versions[-1]}"
  if [ -n "$served" ] && [ "$served" != "$last" ]; then
    files="$(release_content_files "$tmp/served.json" | tr '\n' ' ')"
    check_names "$(at release.json)" $files
    remember "$served" "$files"
  fi
fi
remember "$version" "${content[*]}"

# ------------------------------------------------------------ the upload

# DEST/.uploading, empty: made where it is missing, and emptied of what a
# run stopped inside a file left there.
mkdir -p "$tmp/partial/$PARTIAL" "$tmp/empty"
rsync -r --delete --chmod=a+rX --filter="+ /$PARTIAL/***" --filter="- *" "$tmp/partial/" "$target" </dev/null ||
  fail "cannot empty $(at "$PARTIAL")"

step() {
  local list="$tmp/step" options=()
  while [ "${1:-}" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  [ $# -gt 0 ] || return 0
  printf '%s\n' "$@" >"$list"
  rsync --chmod=a+rX --temp-dir="$PARTIAL" "${options[@]}" --files-from="$list" "$site/" "$target" </dev/null ||
    fail "the upload of $* to $target failed; the files uploaded before stay (run it again)"
  echo "uploaded: $*"
  if [ -n "$each" ]; then
    UPLOAD_STEP="$*" bash -c "$each" || fail "--each: '$each' failed after $*; the upload stopped there"
  fi
}

# Named by content: a file there already holds this content.
step --ignore-existing -- "${content[@]}"
# Keeping their names: changed files only, each with a new time (a server's
# validators then change with the content).
step --checksum -- "${others[@]}"
step --checksum -- sw.js
step --checksum -- "${pages[@]}"

# ------------------------------------------------------------ the releases before

first=$(( ${#record_versions[@]} > keep ? ${#record_versions[@]} - keep : 0 ))
declare -A kept=()
for (( i = first; i < ${#record_versions[@]}; ++i )); do
  for file in ${record_files[$i]}; do
    kept[$file]=1
  done
done
{
  echo "# The releases uploaded here by upload-site.sh, the one served last: its version and its files named by their content."
  for (( i = first; i < ${#record_versions[@]}; ++i )); do
    echo "${record_versions[$i]} ${record_files[$i]}"
  done
} >"$tmp/.releases"
rsync --checksum --chmod=a+rX --temp-dir="$PARTIAL" "$tmp/.releases" "$target" </dev/null || fail "cannot write $(at .releases)"

old=()
declare -A listed=()
for (( i = 0; i < first; ++i )); do
  for file in ${record_files[$i]}; do
    if [ -z "${kept[$file]:-}" ] && [ -z "${listed[$file]:-}" ]; then
      listed[$file]=1
      old+=("$file")
    fi
  done
done
# rsync deletes in DEST what an empty folder lacks, limited to these files
# (and the folders that lead to them) and DEST/.uploading.
: >"$tmp/filter"
for file in "${old[@]}"; do
  parent="$(dirname "$file")"
  [ "$parent" = . ] || mkdir -p "$tmp/empty/$parent"
  while [ "$parent" != . ]; do
    echo "+ /$parent/" >>"$tmp/filter"
    parent="$(dirname "$parent")"
  done
  echo "+ /$file" >>"$tmp/filter"
done
printf '%s\n' "+ /$PARTIAL/***" "- *" >>"$tmp/filter"
rsync -r --delete --filter="merge $tmp/filter" "$tmp/empty/" "$target" </dev/null ||
  fail "cannot delete the files of releases before the last $keep, nor $(at "$PARTIAL"), in $target"
[ ${#old[@]} -eq 0 ] || echo "deleted (releases before the last $keep): ${old[*]}"
echo "release $version is served from $target; check it with tools/check-site URL"
