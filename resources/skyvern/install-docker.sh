#!/usr/bin/env bash
# Sets up a Docker runtime without Docker Desktop: the docker client and colima through
# Homebrew, then starts colima. Exit status 10 means Homebrew is missing (nothing was changed);
# 0 means `docker info` answers. VESSA_DOCKER_BIN names another docker program.
set -uo pipefail

DOCKER="${VESSA_DOCKER_BIN:-docker}"

docker_answers() {
  "$DOCKER" info >/dev/null 2>&1
}

if docker_answers; then
  echo "Docker is already running."
  exit 0
fi

BREW=""
for candidate in "$(command -v brew 2>/dev/null || true)" /opt/homebrew/bin/brew \
  /usr/local/bin/brew /home/linuxbrew/.linuxbrew/bin/brew "${HOME:-/nonexistent}/.linuxbrew/bin/brew"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then
    BREW="$candidate"
    break
  fi
done

if [ -z "$BREW" ]; then
  echo "Homebrew is not installed. Install it once from a terminal:"
  echo '  /bin/bash -c "$(curl -fsSL https://raw.githubusercontent.com/Homebrew/install/HEAD/install.sh)"'
  echo "Or install Docker with your system's package manager and start it."
  exit 10
fi

# What Homebrew installs must be found by the rest of this script.
BREW_PREFIX="$("$BREW" --prefix)"
export PATH="$BREW_PREFIX/bin:$BREW_PREFIX/sbin:$PATH"
export HOMEBREW_NO_AUTO_UPDATE=1 HOMEBREW_NO_INSTALL_CLEANUP=1 NONINTERACTIVE=1

for formula in docker colima; do
  if "$BREW" list --formula "$formula" >/dev/null 2>&1; then
    echo "$formula is already installed."
  else
    echo "Installing $formula with Homebrew…"
    "$BREW" install "$formula" || { echo "brew install $formula failed." >&2; exit 1; }
  fi
done

if colima status >/dev/null 2>&1; then
  echo "colima is already running."
else
  echo "Starting colima (the first start downloads a small virtual machine)…"
  # colima keeps a daemon running; its output must not hold our pipes open.
  colima start </dev/null || { echo "colima start failed." >&2; exit 1; }
fi

echo "Waiting for Docker to answer…"
for _ in $(seq 1 30); do
  if docker_answers; then
    echo "Docker is ready."
    exit 0
  fi
  sleep 2
done
echo "Docker did not answer after colima started." >&2
exit 1
