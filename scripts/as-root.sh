# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034 # sets `sudo` for the script that sources it
# Sourced by the scripts that need root for a step (installing packages, writing a prefix).
#
# as_root sets the array `sudo` to what runs a command as root: nothing for root, (sudo) for a
# user whom sudo lets, and fails, leaving it empty, for a user without sudo or whom sudo refuses.
# Sudo is asked once without a password (`sudo -n true`); where that fails and a terminal can type
# one, sudo asks for the password (and refuses a user it has no rights for); without a terminal,
# nobody can type it, and the user counts as one without sudo. The caller then prints its own line
# of what to run as root instead.
as_root() {
  sudo=()
  [[ $(id -u) -ne 0 ]] || return 0
  command -v sudo >/dev/null || return 1
  sudo -n true 2>/dev/null || { [[ -t 0 ]] && sudo -v; } || return 1
  sudo=(sudo)
}
