#!/usr/bin/env bash
# Prints a TCP port that is free on the loopback interface right now, picked at
# random between 20000 and 32000: below the ephemeral range (32768 and up), where
# the kernel's own outgoing connections could take it in the meantime.
exec python3 -c 'import random, socket, sys
for _ in range(500):
    port = random.randint(20000, 32000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    sys.exit(0)
sys.exit("free-port: no free loopback port between 20000 and 32000")'
