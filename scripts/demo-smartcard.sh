# shellcheck shell=bash
# The demo's smart-card part, sourced by scripts/run-demo after demo-lib.sh:
#   smartcard_prepare CTL   before the engine starts: a software token (SoftHSM2) holding a test
#                           user's key and certificate chain, made with openssl and pkcs11-tool,
#                           and the registry values that make the token's label a reader
#   smartcard_tour CTL      with the engine running: the policy, an enrollment and an
#                           authentication with the PIN asked through the engine's callback
# Everything lives in $KEYSTONE_STATE_DIR/smartcard-demo and is made again on every run.

smartcard_dir=""
smartcard_skip=""
smartcard_root_sha256=""
smartcard_pin=123456
smartcard_factor=PhysicalSmartcard
smartcard_key='HKLM\SOFTWARE\Ostra\Ostra Keystone\Engine\Factors\PhysicalSmartcard'

smartcard_module() {
  local candidate
  for candidate in "/usr/lib/$(gcc -print-multiarch 2>/dev/null)/softhsm/libsofthsm2.so" \
      /usr/lib/softhsm/libsofthsm2.so /usr/local/lib/softhsm/libsofthsm2.so; do
    [[ -f "$candidate" ]] && { printf '%s\n' "$candidate"; return 0; }
  done
  return 1
}

# A root and a user certificate (client authentication and smart-card logon), the user's key,
# all as DER in the directory.
smartcard_make_pki() {
  local dir=$1
  cat >"$dir/extensions.cnf" <<'EOF'
[demo_root]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[demo_user]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth,1.3.6.1.4.1.311.20.2.2
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EOF
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Keystone Demo Root" \
      -keyout "$dir/root.key" -out "$dir/root.pem" \
      -config "$dir/extensions.cnf" -extensions demo_root &&
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Keystone Demo User" -config /dev/null \
      -keyout "$dir/user.key" -out "$dir/user.csr" &&
  openssl x509 -req -in "$dir/user.csr" -CA "$dir/root.pem" -CAkey "$dir/root.key" \
      -CAcreateserial -days 30 -out "$dir/user.pem" \
      -extfile "$dir/extensions.cnf" -extensions demo_user &&
  openssl x509 -in "$dir/root.pem" -outform DER -out "$dir/root.der" &&
  openssl x509 -in "$dir/user.pem" -outform DER -out "$dir/user.der" &&
  openssl pkcs8 -topk8 -nocrypt -in "$dir/user.key" -outform DER -out "$dir/user.p8"
}

# The token "Keystone Demo Card": the user's key and certificate under CKA_ID 01, the root
# under c0 (the card carries its chain up to the root, as the engine requires).
smartcard_make_token() {
  local dir=$1 module=$2
  local p11=(pkcs11-tool --module "$module" --token-label "Keystone Demo Card" --login
             --pin "$smartcard_pin")
  mkdir -p "$dir/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
      "$dir/tokens" >"$dir/softhsm2.conf"
  SOFTHSM2_CONF="$dir/softhsm2.conf" softhsm2-util --init-token --free \
      --label "Keystone Demo Card" --pin "$smartcard_pin" --so-pin 12345678 &&
  SOFTHSM2_CONF="$dir/softhsm2.conf" "${p11[@]}" --write-object "$dir/user.p8" \
      --type privkey --usage-sign --id 01 --label "Keystone Demo User" &&
  SOFTHSM2_CONF="$dir/softhsm2.conf" "${p11[@]}" --write-object "$dir/user.der" \
      --type cert --id 01 --label "Keystone Demo User" &&
  SOFTHSM2_CONF="$dir/softhsm2.conf" "${p11[@]}" --write-object "$dir/root.der" \
      --type cert --id c0 --label "Keystone Demo Root"
}

smartcard_prepare() {
  local ctl=$1 module tool
  for tool in openssl softhsm2-util pkcs11-tool; do
    command -v "$tool" >/dev/null || { smartcard_skip="$tool is not installed"; return 0; }
  done
  module=$(smartcard_module) || { smartcard_skip="SoftHSM2's module is not installed"; return 0; }
  smartcard_dir="$KEYSTONE_STATE_DIR/smartcard-demo"
  rm -rf "$smartcard_dir"
  mkdir -p "$smartcard_dir" && chmod 700 "$smartcard_dir"
  if ! smartcard_make_pki "$smartcard_dir" >"$smartcard_dir/make.log" 2>&1 ||
     ! smartcard_make_token "$smartcard_dir" "$module" >>"$smartcard_dir/make.log" 2>&1; then
    smartcard_skip="the software token could not be made (see $smartcard_dir/make.log)"
    return 0
  fi
  smartcard_root_sha256=$(sha256sum "$smartcard_dir/root.der" | cut -d' ' -f1)
  # The engine reads SoftHSM2's configuration from its environment when it loads the module.
  export SOFTHSM2_CONF="$smartcard_dir/softhsm2.conf"
  "$ctl" reg set "$smartcard_key" Pkcs11Module REG_SZ "$module" >/dev/null
  "$ctl" reg set "$smartcard_key" TokensAsReaders REG_DWORD 1 >/dev/null
}

# Hex of one TLV item holding a text: tag (4 hex digits), length, bytes.
smartcard_tlv_text() {
  printf '%s%04x' "$1" "${#2}"
  printf '%s' "$2" | od -An -tx1 | tr -d ' \n'
}

smartcard_tour() {
  local ctl=$1 user=S-1-5-18 session
  title "9. A smart card: enroll a software token, then authenticate with it"
  if [[ -n "$smartcard_skip" ]]; then
    say "Skipped: $smartcard_skip (scripts/install-deps installs softhsm2 and opensc)."
    return 0
  fi
  if [[ $(id -u) -ne 0 ]]; then
    say "Skipped: the smart card's policy is an administrator's request (run 'sudo make run')."
    return 0
  fi
  say "A SoftHSM2 token stands in for the card; the registry's TokensAsReaders makes its label"
  say "a reader. It holds the user's key and certificate and the root that issued it:"
  show "$ctl" smartcard list --tokens
  say ""
  say "The policy lists the factor $smartcard_factor and trusts that root by its SHA-256;"
  say "AllowPinReplay=true lets the engine ask the client once for the PIN and sign itself."
  session=$("$ctl" session new)
  if "$ctl" applet policy set --session "$session" \
      --factor pin:1:PIN --factor phone:2:Phone --param phone:MinRssi=-70 \
      --factor "$smartcard_factor:1:Smart card" \
      --param "$smartcard_factor:CaCertificateThumbprint0=$smartcard_root_sha256" \
      --param "$smartcard_factor:AllowPinReplay=true" \
      --action "OSLogin=pin+phone,pin,$smartcard_factor" --setting LockOnLeave:1=yes >/dev/null; then
    say "-> policy set (the step 1 policy plus the smart card)."
  else
    say "-> the policy was not set; see the engine log."
  fi
  "$ctl" session release "$session"
  # A card enrolled by an earlier run belongs to a token that no longer exists: remove the
  # demo user from the applet first, so the enrollment starts afresh.
  session=$("$ctl" session new)
  "$ctl" applet send --type 0xABBA0040 --module 13 --category 2 --session "$session" --raw \
      --payload "$(smartcard_tlv_text 7b01 "$user")" >/dev/null 2>&1
  "$ctl" session release "$session"
  "$ctl" backup all >/dev/null
  "$ctl" backup user "$user" >/dev/null

  say ""
  say "Enroll root's SID ($user). The engine calls back the process that asked for the"
  say "enrollment: keystonectl answers the PIN prompt itself while the call runs. A person types"
  say "the PIN at the prompt, without echo:"
  say "    keystonectl enroll $user $smartcard_factor"
  say "The demo reads it from a variable instead (--pin-from-env, for scripts only):"
  KEYSTONE_DEMO_PIN=$smartcard_pin show "$ctl" enroll "$user" "$smartcard_factor" \
      --pin-from-env KEYSTONE_DEMO_PIN --assume-yes
  say "-> the engine found the certificate, the applet checked its chain, the card signed the"
  say "   applet's challenge, and the chain (p7bBlob) is stored under the user's key."

  say ""
  say "Authenticate: the applet asks the engine for the factor (0xABBA007B); the engine asks for"
  say "the PIN again through the callback and signs a fresh challenge with the card:"
  KEYSTONE_DEMO_PIN=$smartcard_pin show "$ctl" applet factor-check "$user" "$smartcard_factor" \
      --pin-from-env KEYSTONE_DEMO_PIN --assume-yes | grep -E '^ *(keystonectl|factor )'
  say ""
  say "The same with a wrong PIN: the card refuses it, the engine asks again, and gives up"
  say "after 5 refused PINs:"
  KEYSTONE_DEMO_PIN=000000 show "$ctl" applet factor-check "$user" "$smartcard_factor" \
      --pin-from-env KEYSTONE_DEMO_PIN --assume-yes | grep -E '^ *factor '
  say "(Card, chain and PIN failures are in the engine log: grep FLOW $KEYSTONE_STATE_DIR/engine.log)"
}
