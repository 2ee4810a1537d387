"""A local program that takes a Discord pipe name before Discord does (natively the Unix socket
<dir>/discord-ipc-<index>) and answers every frame with garbage, or never answers at all.

usage: squatter.py DIR INDEX garbage|silent READY_FILE
Runs until killed. Python 3 standard library only.
"""

import os
import random
import socket
import sys
import threading


def serve(connection, mode):
    rng = random.Random()
    with connection:
        while True:
            try:
                data = connection.recv(4096)
            except OSError:
                return
            if not data:
                return
            if mode == "garbage":
                # Sometimes a header that promises a payload, sometimes raw bytes; line breaks and
                # text shaped like the program's own log lines among them.
                payload = bytes(rng.randrange(256) for _ in range(rng.randrange(16, 257)))
                payload += b"\r\n2023-11-14 22:13:20 Connected to Discord IPC.\r\n"
                if rng.random() < 0.5:
                    header = (1).to_bytes(4, "little") + len(payload).to_bytes(4, "little")
                    payload = header + payload
                try:
                    connection.sendall(payload)
                except OSError:
                    return


def main(argv):
    folder, index, mode, ready_file = argv
    path = os.path.join(folder, "discord-ipc-%s" % index)
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(8)
    with open(ready_file, "w") as ready:
        ready.write("ready\n")
    while True:
        connection, _address = server.accept()
        threading.Thread(target=serve, args=(connection, mode), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
