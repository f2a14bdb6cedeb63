"""A scripted TCP peer on 127.0.0.1 for client tests: each accepted connection runs one script."""
import socket
import threading

DEADLINE = 10.0


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError(f"peer closed after {len(data)} of {n} bytes")
        data += chunk
    return data


def recv_frame(conn):
    return recv_exact(conn, int.from_bytes(recv_exact(conn, 4), "big"))


def frame(payload):
    return len(payload).to_bytes(4, "big") + payload


class Peer:
    """Accepts `len(scripts)` connections in turn; script i gets the i-th connection.

    Use as a context manager: leaving it joins the thread and re-raises what a script raised."""

    def __init__(self, *scripts):
        self.scripts = scripts
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(DEADLINE)
        self.port = self.server.getsockname()[1]
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            for script in self.scripts:
                conn, _ = self.server.accept()
                with conn:
                    conn.settimeout(DEADLINE)
                    script(conn)
        except BaseException as e:  # reported by __exit__
            self.error = e

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.thread.join(DEADLINE)
        self.server.close()
        assert not self.thread.is_alive(), "peer script did not finish"
        if self.error and not exc[0]:
            raise self.error
