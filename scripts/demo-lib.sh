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
  say "Two factors (a PIN and a phone, with an enrollment parameter), one action, OSLogin,"
  say "satisfied by PIN+phone or by PIN, and one system setting."
  admin=$("$ctl" session new)
  if show "$ctl" applet policy set --session "$admin" \
      --factor pin:1:PIN --factor phone:2:Phone --param phone:MinRssi=-70 \
      --action OSLogin=pin+phone,pin --setting LockOnLeave:1=yes; then
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

  mirror_tour "$ctl"

  title "5. One session at a time: the applet is held by the session of the last request"
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

  title "6. Wait for an authentication status (3 seconds)"
  say "A client long-polls the engine for status changes of a running authentication. The"
  say "simulated applet runs no authentications yet, so this ends at the time limit."
  show "$ctl" auth wait --timeout 3

  title "7. Flows: an enrollment, and a factor authentication the applet asks for"
  say "keystonectl enroll runs the enrollment flow (the engine's log shows each step). The phone"
  say "is not a factor the engine runs itself (its one host factor is the smart card, step 9):"
  say "0xA0000035."
  show "$ctl" enroll S-1-5-21-1000-2000-3000-1001 phone --no-backup
  say "The simulated applet's host-factor check asks the engine to authenticate a factor"
  say "(0xABBA007B) inside the client's request; the engine's answer comes back in the reply:"
  show "$ctl" applet factor-check S-1-5-21-1000-2000-3000-1001 phone
  say "-> 'did not authenticate': the engine answered BooleanResponse 1 for the unknown factor."
  if [[ $(id -u) -ne 0 ]]; then
    say "(Not root: the demo user is not yours, so both are refused: 0xA0000031 and status 5.)"
  fi
}

# Hex of one TLV item holding a text: tag (4 hex digits), length, bytes.
tlv_text() {
  printf '%s%04x' "$1" "${#2}"
  printf '%s' "$2" | od -An -tx1 | tr -d ' \n'
}

mirror_tour() {
  local ctl=$1 admin user="S-1-5-21-1000-2000-3000-1001" pair data
  title "4. The registry mirror and discovery"
  say "Other programs read the policy and the users' enrollments from the registry mirror. The"
  say "engine rewrites it when told that the applet's data changed: 'Update All' mirrors the"
  say "policy and every user the applet knows."
  show "$ctl" backup all
  show "$ctl" reg export
  say "-> Factors (with the phone's Parameters), Actions\\OSLogin\\Set1 and Set2, SystemSettings."

  say ""
  say "Enroll a demo user ($user) in the phone factor, then mirror that user's data:"
  pair="$(tlv_text 7c0d DeviceId)$(tlv_text 7c0e 0011223344550100)"
  data="7c0c$(printf '%04x' $((${#pair} / 2)))$pair"
  admin=$("$ctl" session new)
  "$ctl" applet send --type 0xABBA0019 --module 13 --category 2 --session "$admin" --raw \
      --payload "$(tlv_text 7b01 "$user")$(tlv_text 7b14 phone)7b05$(printf '%04x' $((${#data} / 2)))$data" \
      >/dev/null 2>&1
  "$ctl" session release "$admin"
  show "$ctl" backup user "$user"
  show "$ctl" reg export 'HKLM\SOFTWARE\Ostra\Ostra Keystone\Engine\DataMirror\Users'

  say ""
  say "Discovery answers from the mirror, without the applet:"
  show "$ctl" discover policy --user "$user"
  show "$ctl" discover action OSLogin --user "$user"
  show "$ctl" discover enrollment phone --user "$user"
  show "$ctl" discover parameters phone
  show "$ctl" discover users
}

# The Bluetooth factor on a simulated phone: scan, connect, a message and its reply, then the
# phone walks away and comes back while the proximity status is read at each step. Expects the
# engine to use the phone simulator whose control socket is $KEYSTONE_PHONE_SIM_DIR/control.sock.
bt_tour() {
  local ctl=$1 phone=5C:F3:70:12:34:56 step
  title "8. Bluetooth: a simulated phone"
  show "$ctl" bt sim add "$phone" --name "Anna's phone"
  show "$ctl" bt scan classic
  show "$ctl" bt connect "$phone"
  show "$ctl" bt send "$phone" 0102A0FF
  say "(the simulated phone answers every byte complemented)"
  show "$ctl" bt sim rssi "$phone" -50
  show "$ctl" bt status "$phone"
  show "$ctl" bt calibrate "$phone"
  for step in "-70:walking away" "-85:at the door" "-95:gone" "-95:still gone" "-50:back at the desk"; do
    title "Bluetooth: the phone is ${step#*:} (RSSI ${step%%:*} dBm)"
    "$ctl" bt sim rssi "$phone" "${step%%:*}" >/dev/null
    for _ in 1 2 3 4 5 6; do "$ctl" bt rssi "$phone" >/dev/null 2>&1; done
    show "$ctl" bt status "$phone"
    if [[ ${step#*:} == "gone" ]]; then
      say "(the applet settles the undecided state: out of range)"
      show "$ctl" bt decide "$phone" out
      show "$ctl" bt status "$phone"
    fi
  done
  show "$ctl" bt send "$phone" 0102A0FF

  title "Bluetooth: a BLE phone through the signed bridge"
  say "BLE phones are reached through a bridge library that the engine loads only when its"
  say "signature verifies and its signer is in TrustedSigners (here: the build's test signer)."
  show "$ctl" bt bridge
  say "The first BLE request makes the engine load it (the simulated bridge, with one phone):"
  show "$ctl" bt scan ble
}
