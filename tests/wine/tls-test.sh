#!/usr/bin/env bash
# TLS lines of the Windows build under Wine (Schannel), against Debian's
# ser2net with its ssl filter in front of the Linux build's simulator, with
# a test CA made here: both forms open and power the card; a certificate
# from another CA and one for another name are refused with their reasons;
# a host name is checked as a name; a client certificate (an RSA key, as
# Schannel takes it from PEM) opens a server that requires one, its absence
# is refused, and a key that is not the certificate's, or not RSA, is
# refused before anything is sent.
#   tls-test.sh WINE_RUN TLS_OPEN_EXE SIM
# Exit 77 (skipped) without the Linux build's simulator.
set -uo pipefail
run=$1 exe=$2 sim=$3
[ -x "$sim" ] || { echo "no Linux build of qd500-sim at $sim: skipped"; exit 77; }
for tool in ser2net openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh installs it)"; exit 1; }
done
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT

key() { echo -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/$1.key"; }
ca() { openssl req -x509 $(key "$1") -out "$work/$1.pem" -days 2 -subj "/CN=qd500 test $1" 2>/dev/null; }
sign() {  # name, CA, common name, extension
  openssl req -new $(key "$1") -out "$work/$1.csr" -subj "/CN=$3" 2>/dev/null
  echo "$4" >"$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.pem" -CAkey "$work/$2.key" -CAcreateserial \
    -out "$work/$1.pem" -days 2 -extfile "$work/$1.ext" 2>/dev/null
}
ca ca && ca other-ca
sign server ca localhost "subjectAltName=IP:127.0.0.1,DNS:localhost"
sign wrongname ca elsewhere.example "subjectAltName=DNS:elsewhere.example"
sign stranger other-ca localhost "subjectAltName=IP:127.0.0.1,DNS:localhost"
openssl req -new -newkey rsa:2048 -nodes -keyout "$work/client.key" -out "$work/client.csr" -subj /CN=qd500-client 2>/dev/null
echo "extendedKeyUsage=clientAuth" >"$work/client.ext"
openssl x509 -req -in "$work/client.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -out "$work/client.pem" -days 2 -extfile "$work/client.ext" 2>/dev/null
openssl genrsa -out "$work/other.key" 2048 2>/dev/null
mkdir -p "$work/auth/qd500-client/allowed_certs"
cp "$work/ca.pem" "$work/auth/qd500-client/allowed_certs/" && openssl rehash "$work/auth/qd500-client/allowed_certs"

"$sim" --pty </dev/null >"$work/sim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
tty=$(head -1 "$work/sim.out")
[ -n "$tty" ] || { echo "the simulator did not start"; exit 1; }

free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
declare -A port
ssl() { echo "ssl(key=$work/$1.key,cert=$work/$1.pem$2)"; }
{
  for name in tel raw wrongname stranger auth authraw; do
    port[$name]=$(free_port)
    case $name in
      tel) accepter="telnet(rfc2217),$(ssl server ''),tcp(nodelay)" ;;
      raw) accepter="$(ssl server ''),tcp(nodelay)" ;;
      wrongname) accepter="telnet(rfc2217),$(ssl wrongname ''),tcp" ;;
      stranger) accepter="telnet(rfc2217),$(ssl stranger ''),tcp" ;;
      auth) accepter="telnet(rfc2217),$(ssl server ',clientauth'),tcp" ;;
      authraw) accepter="$(ssl server ',clientauth'),tcp" ;;
    esac
    printf 'connection: &%s\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
      "$name" "$accepter" "${port[$name]}" "$tty"
    printf '  options:\n    chardelay: false\n    authdir: %s\n' "$work/auth"
  done
} >"$work/ser2net.yaml"
ser2net -n -c "$work/ser2net.yaml" >/dev/null 2>&1 &
pids+=($!)
for name in "${!port[@]}"; do
  for _ in $(seq 100); do (echo >"/dev/tcp/127.0.0.1/${port[$name]}") 2>/dev/null && break; sleep 0.05; done
done

ca_file="Z:$work/ca.pem"
failed=0
check() {  # URL, expected start of the line, and text in it
  local out
  # ser2net lets the tty go a moment after the last client left.
  for _ in 1 2 3 4 5; do
    out=$("$run" "$exe" "$1" 2>&1 | tail -1)
    [[ "$out" == *"device already in use"* ]] || break
    sleep 0.2
  done
  if [[ "$out" == "$2"* && "$out" == *"${3:-}"* ]]; then echo "ok: $1 -> $out"; else
    echo "FAIL: $1 -> $out (expected $2 ... ${3:-})"
    failed=1
  fi
}
check "rfc2217+tls://127.0.0.1:${port[tel]}?ca=$ca_file" "open 3B"
check "socket+tls://127.0.0.1:${port[raw]}?ca=$ca_file" "open 3B"
check "rfc2217+tls://localhost:${port[tel]}?ca=$ca_file" "open 3B"
check "rfc2217+tls://127.0.0.1:${port[stranger]}?ca=$ca_file" refused \
  ": the server's certificate was refused: it is not signed by the CA of ca="
check "rfc2217+tls://127.0.0.1:${port[wrongname]}?ca=$ca_file" refused \
  ": the server's certificate is not for 127.0.0.1 (IP address mismatch)"
check "rfc2217+tls://127.0.0.1:${port[raw]}" refused \
  ": the server's certificate was refused: it is not signed by a CA this system trusts"
# Wine's Schannel does not say that the server asked for a certificate.
check "rfc2217+tls://127.0.0.1:${port[auth]}?ca=$ca_file" refused \
  ": the server closed the connection right after the TLS handshake"
client="cert=Z:$work/client.pem&key=Z:$work/client.key"
check "rfc2217+tls://127.0.0.1:${port[auth]}?ca=$ca_file&$client" "open 3B"
check "socket+tls://127.0.0.1:${port[authraw]}?ca=$ca_file&$client" "open 3B"
check "rfc2217+tls://127.0.0.1:${port[auth]}?ca=$ca_file&cert=Z:$work/client.pem&key=Z:$work/other.key" refused \
  ": the client key Z:$work/other.key is not the key of the certificate Z:$work/client.pem"
check "rfc2217+tls://127.0.0.1:${port[auth]}?ca=$ca_file&cert=Z:$work/server.pem&key=Z:$work/server.key" refused \
  ": on Windows it must be an unencrypted RSA key in PEM"
exit "$failed"
