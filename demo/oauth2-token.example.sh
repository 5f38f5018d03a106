#!/bin/sh
# Prints a current OAuth2 access token for XOAUTH2 (a profile's PasswordCommand). It trades a
# refresh token, kept in a file only its owner can read, for an access token at the provider's
# token endpoint. Fill in the endpoint, the client id and secret your provider issued, and run
# the provider's consent flow once to obtain the refresh token.
set -eu
TOKEN_ENDPOINT="https://oauth2.example.com/token"
CLIENT_ID="your-client-id"
CLIENT_SECRET="your-client-secret"
REFRESH_TOKEN_FILE="$HOME/.config/vorlane/refresh-token"

curl --silent --show-error --fail --max-time 20 \
  --data-urlencode "client_id=$CLIENT_ID" \
  --data-urlencode "client_secret=$CLIENT_SECRET" \
  --data-urlencode "refresh_token=$(cat "$REFRESH_TOKEN_FILE")" \
  --data-urlencode "grant_type=refresh_token" \
  "$TOKEN_ENDPOINT" |
  python3 -c 'import json, sys; print(json.load(sys.stdin)["access_token"])'
