#!/usr/bin/env bash
# Installs the Skyvern browser-automation service as the Docker container "vessa-skyvern":
# pulls the image, writes ~/.vessa-skyvern/skyvern.env (port and API key, mode 600), creates
# and starts the container on a loopback port. Progress goes to standard output; the last line
# is the service's URL. VESSA_DOCKER_BIN names another docker program; VESSA_SKYVERN_IMAGE,
# VESSA_SKYVERN_PORT and VESSA_SKYVERN_CONTAINER_PORT override the defaults.
set -euo pipefail

DOCKER="${VESSA_DOCKER_BIN:-docker}"
CONTAINER="vessa-skyvern"
IMAGE="${VESSA_SKYVERN_IMAGE:-public.ecr.aws/skyvern/skyvern:latest}"
CONTAINER_PORT="${VESSA_SKYVERN_CONTAINER_PORT:-8000}"

home="${HOME:-}"
if [ -z "$home" ]; then
  home="$(getent passwd "$(id -u)" | cut -d: -f6 || true)"
fi
[ -n "$home" ] || home="/tmp"
SETTINGS_DIR="$home/.vessa-skyvern"
ENV_FILE="$SETTINGS_DIR/skyvern.env"

fail() {
  echo "$*" >&2
  exit 1
}

# The value of KEY in the existing settings file (last one wins), or nothing.
setting() {
  [ -r "$ENV_FILE" ] || return 0
  sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*//p" "$ENV_FILE" | tail -n 1 |
    sed 's/[[:space:]]*$//'
}

port_busy() {
  # A connection that succeeds means something already listens there.
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

valid_port() {
  [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65535 ]
}

echo "Checking Docker…"
"$DOCKER" info >/dev/null 2>&1 || fail "Docker is not running. Start Docker, then try again."

echo "Pulling $IMAGE…"
"$DOCKER" pull "$IMAGE" || fail "Could not pull $IMAGE."

# Keep the port and key of an earlier install so clients that know them keep working.
PORT="${VESSA_SKYVERN_PORT:-$(setting SKYVERN_PORT)}"
API_KEY="$(setting SKYVERN_API_KEY)"

if [ -n "$("$DOCKER" ps -a --filter "name=^${CONTAINER}\$" --format '{{.Names}}' 2>/dev/null)" ]; then
  echo "Removing the previous $CONTAINER container…"
  "$DOCKER" rm -f "$CONTAINER" >/dev/null || fail "Could not remove the old $CONTAINER container."
fi

if ! valid_port "${PORT:-}" || { [ -z "${VESSA_SKYVERN_PORT:-}" ] && port_busy "$PORT"; }; then
  PORT=""
  for candidate in $(seq 8000 8099); do
    if ! port_busy "$candidate"; then
      PORT="$candidate"
      break
    fi
  done
  [ -n "$PORT" ] || fail "No free local port between 8000 and 8099."
fi
valid_port "$PORT" || fail "Invalid port: $PORT"

if [ -z "$API_KEY" ]; then
  API_KEY="$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')"
  [ ${#API_KEY} -eq 64 ] || fail "Could not generate an API key."
fi

echo "Writing settings to $ENV_FILE…"
umask 077
mkdir -p "$SETTINGS_DIR"
chmod 700 "$SETTINGS_DIR"
tmp="$(mktemp "$SETTINGS_DIR/.skyvern.env.XXXXXX")"
trap 'rm -f "$tmp"' EXIT
printf 'SKYVERN_PORT=%s\nSKYVERN_API_KEY=%s\n' "$PORT" "$API_KEY" >"$tmp"
chmod 600 "$tmp"
mv -f "$tmp" "$ENV_FILE"
trap - EXIT

mkdir -p "$SETTINGS_DIR/data"
echo "Creating the $CONTAINER container on port $PORT…"
# The key reaches the container through the file, never on a command line.
"$DOCKER" create --name "$CONTAINER" --restart unless-stopped \
  -p "127.0.0.1:$PORT:$CONTAINER_PORT" --env-file "$ENV_FILE" \
  -v "$SETTINGS_DIR/data:/data" "$IMAGE" >/dev/null ||
  fail "Could not create the $CONTAINER container."

echo "Starting $CONTAINER…"
"$DOCKER" start "$CONTAINER" >/dev/null || fail "Could not start the $CONTAINER container."

state="$("$DOCKER" inspect -f '{{.State.Running}}' "$CONTAINER" 2>/dev/null || true)"
[ "$state" = "true" ] || fail "The $CONTAINER container did not stay running (see: $DOCKER logs $CONTAINER)."

echo "Skyvern is running."
echo "http://localhost:$PORT"
