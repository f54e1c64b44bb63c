#!/usr/bin/env bash
# Fails when the server core library calls the operating system or libcurl: sockets, waiting for
# descriptors, signals, sleeping, the clock, files and standard output, processes. All of that belongs
# to the platform layer (quarel_platform); the core must run on fakes alone.
#   tests/core_symbols.sh path/to/libquarel_core.a
set -euo pipefail
lib="${1:?usage: core_symbols.sh LIBRARY}"
[ -f "$lib" ] || { echo "no such library: $lib"; exit 1; }

calls='socket|socketpair|bind|connect|listen|accept|accept4|send|sendto|sendmsg|sendmmsg|recv|recvfrom|recvmsg|recvmmsg'
calls+='|setsockopt|getsockopt|getsockname|getpeername|getaddrinfo|gethostbyname|shutdown'
calls+='|poll|ppoll|select|pselect|epoll_create|epoll_create1|epoll_ctl|epoll_wait|epoll_pwait'
calls+='|sigaction|signal|sigprocmask|pthread_sigmask|raise|kill|pipe|pipe2|eventfd'
calls+='|nanosleep|clock_nanosleep|usleep|sleep|time|clock_gettime|gettimeofday'
calls+='|open|openat|creat|close|read|write|pread|pwrite|fcntl|ioctl|rename|unlink|fsync'
calls+='|fopen|fdopen|fclose|fread|fwrite|fflush|fgets|fputs|puts|printf|fprintf|vfprintf|putchar'
calls+='|fork|vfork|execve|execvp|waitpid|system|exit|_exit|abort|curl_[A-Za-z0-9_]+'

found="$(nm -u "$lib" | awk '$1 == "U" { sub(/@.*/, "", $2); print $2 }' | grep -Ex "($calls)" | sort -u || true)"
[ -z "$found" ] || { echo "the core library calls what only the platform layer may:"; echo "$found" | sed 's/^/  /'; exit 1; }
echo "no system or libcurl calls in $(basename "$lib")"
