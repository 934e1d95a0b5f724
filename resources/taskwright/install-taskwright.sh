#!/usr/bin/env bash
# Installs the Taskwright runtime (radaro) into ~/.vessa-taskwright from the files shipped
# beside this script. Works offline. Prints one progress line per step; exits non-zero with a
# message on standard error when a step fails, leaving the incomplete markers in place.
set -euo pipefail

say() { printf '[taskwright] %s\n' "$*"; }
die() {
  printf 'install-taskwright: %s\n' "$*" >&2
  exit 1
}
trap 'die "step failed at line $LINENO (exit $?)"' ERR

[ -n "${HOME:-}" ] || die "HOME is not set"
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SOURCE_BIN="$SCRIPT_DIR/radaro"
TW_HOME="$HOME/.vessa-taskwright"
STATE_DIR="$HOME/.vessa"
IN_PROGRESS="$STATE_DIR/taskwright-install-in-progress"
INCOMPLETE="$TW_HOME/.install-incomplete"

say "Installing Taskwright runtime into $TW_HOME"
mkdir -p "$STATE_DIR" "$TW_HOME"
: >"$IN_PROGRESS"
: >"$INCOMPLETE"

say "Looking for the bundled radaro program"
[ -f "$SOURCE_BIN" ] || die "radaro program not found at $SOURCE_BIN"
[ -x "$SOURCE_BIN" ] || die "radaro program at $SOURCE_BIN is not executable"

say "Creating runtime folders"
mkdir -p "$TW_HOME/bin" "$TW_HOME/venv" "$TW_HOME/home"

say "Copying radaro to $TW_HOME/bin/radaro"
tmp="$TW_HOME/bin/.radaro.$$"
cp "$SOURCE_BIN" "$tmp"
chmod 755 "$tmp"
mv -f "$tmp" "$TW_HOME/bin/radaro"

say "Checking the installed program"
version_line="$("$TW_HOME/bin/radaro" --version)" || die "radaro --version failed"
version="${version_line##* }"
[ -n "$version" ] || die "radaro --version printed no version"
say "Installed $version_line"

printf 'upstream_tag=v%s\ninstalled_at=%s\nsource=%s\n' "$version" \
  "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$SOURCE_BIN" >"$TW_HOME/.installed-version.tmp"
mv -f "$TW_HOME/.installed-version.tmp" "$TW_HOME/.installed-version"

rm -f "$INCOMPLETE" "$IN_PROGRESS"
say "Done: Taskwright v$version is ready"
