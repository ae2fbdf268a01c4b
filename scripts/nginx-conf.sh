#!/bin/bash
# Writes DIR/nginx.conf: nginx serving ROOT over HTTPS on 127.0.0.1:PORT with CERT and KEY, as one process in the
# foreground (no daemon, no master), its pid, logs and temporary paths in DIR. Access log lines read
#   "GET /a HTTP/1.1" 206 range="bytes=0-9" sent=10
# (range="-" without a Range header; sent counts body bytes). RATE, when given, limits each transfer under
# /targets/ (nginx's limit_rate, e.g. 32m). The tests' fixture and the demo both serve through this file.
# Usage: scripts/nginx-conf.sh DIR PORT ROOT CERT KEY [RATE]
set -euo pipefail
dir=$1 port=$2 root=$3 cert=$4 key=$5 rate=${6-}
{
  # As root, nginx would otherwise hand its temporary paths to another user.
  [ "$(id -u)" -ne 0 ] || echo "user root;"
  cat <<CONF
daemon off;
master_process off;
pid $dir/nginx.pid;
error_log $dir/error.log info;
events { worker_connections 64; }
http {
  log_format trelk '"\$request" \$status range="\$http_range" sent=\$body_bytes_sent';
  access_log $dir/access.log trelk;
  default_type application/octet-stream;
  client_body_temp_path $dir/client_body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate $cert;
    ssl_certificate_key $key;
    root "$root";
CONF
  [ -z "$rate" ] || echo "    location /targets/ { limit_rate $rate; }"
  echo "  }"
  echo "}"
} >"$dir/nginx.conf"
