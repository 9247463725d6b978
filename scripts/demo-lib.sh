# The demo's steps, sourced by scripts/run-demo. Expects KEYSTONE_STATE_DIR and
# KEYSTONE_RUNTIME_DIR to name the running engine's directories.

title() { printf '\n== %s ==\n' "$*"; }
say() { printf '%s\n' "$*"; }
# Shows a command, then runs it with its output indented; returns its exit status.
show() {
  printf '\n$ %s\n' "$(basename "$1") ${*:2}"
  "$@" 2>&1 | sed 's/^/    /'
  return "${PIPESTATUS[0]}"
}

# Waits until the engine answers a call, at most limit seconds; false when it died or timed out.
wait_ready() {
  local ctl=$1 pid=$2 limit=$3 waited=0
  while ((waited < limit * 10)); do
    kill -0 "$pid" 2>/dev/null || return 1
    if [[ -S "$KEYSTONE_RUNTIME_DIR/IVoxWithMfa" ]] && "$ctl" session new >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  return 1
}

run_tour() {
  local ctl=$1 admin session other

  title "1. Set a policy in the simulated applet (an administrator's request)"
  say "Two factors (a PIN and a phone) and one action, OSLogin, satisfied by PIN+phone or by PIN."
  admin=$("$ctl" session new)
  if show "$ctl" applet policy set --session "$admin" \
      --factor pin:1:PIN --factor phone:2:Phone --action OSLogin=pin+phone,pin; then
    say "-> status 0: the applet stored the policy through the engine (see step 3)."
  elif [[ $(id -u) -ne 0 ]]; then
    say "-> status 6 is expected here: this client is not elevated (not root)."
  else
    say "-> the policy was not set; see the engine log."
  fi
  "$ctl" session release "$admin"

  title "2. Read the policy back"
  session=$("$ctl" session new)
  if show "$ctl" applet policy get --session "$session"; then
    say "-> the factor and action elements are in the payload (0x7B94 factors, 0x7B95 actions)."
  else
    say "-> no policy is set yet (the applet answers with error 0x7F12)."
  fi
  "$ctl" session release "$session"

  title "3. What the engine stored for the applet"
  say "The applet keeps nothing itself: it hands sealed blobs to the engine, which stores them as"
  say "<name>.SDS files in the Data directory (opaque, AES-GCM sealed by the applet)."
  if compgen -G "$KEYSTONE_STATE_DIR/Data/*.SDS" >/dev/null; then
    show ls -l "$KEYSTONE_STATE_DIR/Data"
  else
    say "(nothing stored yet: no policy was set)"
  fi

  title "4. One session at a time: the applet is held by the session of the last request"
  session=$("$ctl" session new)
  other=$("$ctl" session new)
  "$ctl" applet policy get --session "$session" >/dev/null 2>&1
  say "Session $session sent a request (policy get) and now holds the applet until it releases it"
  say "(or the applet has been idle for 60 s)."
  say "Session $other tries meanwhile:"
  show "$ctl" applet policy get --session "$other"
  say "-> status 3: the applet is busy with another session."
  "$ctl" session release "$session"
  say "Session $session released it; session $other tries again:"
  if show "$ctl" applet send --type 0xABBA0065 --module 5 --category 1 --raw --session "$other"; then
    say "-> accepted now."
  fi
  "$ctl" session release "$other"

  title "5. Wait for an authentication status (3 seconds)"
  say "A client long-polls the engine for status changes of a running authentication. The"
  say "simulated applet runs no authentications yet, so this ends at the time limit."
  show "$ctl" auth wait --timeout 3
}
