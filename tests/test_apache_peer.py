"""The Apache Thrift peer helper: its server answers Apache's own client, and is gone afterwards."""
import shutil
import socket

import pytest

pytest.importorskip("thrift")
if not shutil.which("thrift"):
    pytest.skip("the thrift compiler is not installed", allow_module_level=True)

from apache_peer import ApachePeer  # noqa: E402

IDL = """
struct Pair { 1: i32 left, 2: string right }
exception Oops { 1: string why }
service Peer {
  i32 add(1: i32 a, 2: i32 b),
  Pair swap(1: Pair p),
  void fail(1: string why) throws (1: Oops oops),
}
"""


class PeerHandler:
    def add(self, a, b):
        return a + b

    def swap(self, p):
        return Pair(left=-p.left, right=p.right[::-1])  # noqa: F821 (the generated ttypes are in scope)

    def fail(self, why):
        raise Oops(why=why)  # noqa: F821


@pytest.fixture(scope="module")
def peer(tmp_path_factory):
    return ApachePeer(IDL, tmp_path_factory.mktemp("apache_peer"))


@pytest.mark.parametrize("transport", ["framed", "buffered"])
def test_apache_client_and_server_round_trip(peer, transport):
    tt = peer.module("ttypes")
    with peer.server("Peer", PeerHandler, transport=transport) as (host, port):
        assert host == "127.0.0.1"
        with peer.client("Peer", port, transport=transport) as client:
            assert client.add(40, 2) == 42
            assert client.swap(tt.Pair(left=3, right="abc")) == tt.Pair(left=-3, right="cba")
            with pytest.raises(tt.Oops) as raised:
                client.fail("because")
            assert raised.value.why == "because"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection((host, port), timeout=5).close()


def test_a_server_that_cannot_start_reports_why(peer):
    with pytest.raises(RuntimeError, match="NameError"):
        with peer.server("Peer", "Handler = NoSuchClass\n"):
            pass
