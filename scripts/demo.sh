#!/usr/bin/env bash
# Builds the server and the command-line client, copies demo/ into a fresh scratch folder
# under run/ and starts the server there in the foreground. Posts and deletes change only
# the copy; the repository's demo files stay as they are. A key press or Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quorva quorva-client make-cert

mkdir -p run
scratch=$(mktemp -d "$root/run/demo-XXXXXX")
cp -R demo/. "$scratch/"
chmod 600 "$scratch/quorva.INI"  # it holds the demo's passwords

# A throw-away self-signed certificate for localhost, and both TLS ports on.
build/make-cert self-signed "$scratch"
cat >> "$scratch/quorva.INI" <<'SETTINGS'
; TLS with the demo's throw-away certificate (made at each start): the binary door on
; 9030 (quorva-client --tls), the news door on 1563 and through STARTTLS on 1119.
tlsCertificate tls.pem
tlsKey tls.key
tlsPort 9030
nntpsPort 1563
SETTINGS

echo
echo "Demo data copied to $scratch"
echo "In a second terminal:"
echo "    export QUORVA_PORT=9029 QUORVA_USER='Demo Sysop' QUORVA_ADDR=2:5020/1234 QUORVA_PASSWORD=demo"
echo "    build/quorva-client areas"
echo "The same over TLS, trusting the demo's own certificate:"
echo "    build/quorva-client --port 9030 --ca $scratch/tls.pem areas"
echo "A newsreader: news server localhost, port 1119, user 'Demo Sysop', password demo"
echo "    (for example: NNTPSERVER=localhost NNTPPORT=1119 tin -r -A -g localhost -p 1119);"
echo "    over TLS: port 1563 (NNTPS), or STARTTLS on 1119"
echo

# The server reads the settings file named after its program path (quorva.INI beside
# it) and resolves the relative paths in it from its working folder: run it as
# <scratch>/quorva from inside the scratch folder.
cd "$scratch"
exec -a "$scratch/quorva" "$root/build/quorva"
