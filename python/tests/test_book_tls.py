"""The distributed book over TLS with mutual authentication: certificates made here with
openssl, a TLS local cluster valuing bit for bit like `kestrel book`, a client of another
CA refused, plain tcp:// to another machine refused, and the local cluster on 127.0.0.1
only without a dashboard."""
import socket
import subprocess
import threading
import urllib.error
import urllib.request

import pytest

distributed = pytest.importorskip("distributed")

from kestrel import book as kbook

from test_book import ARGS, BOOK, MARKET, kestrel_cli, python_cli


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def make_ca(d, name):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={name}",
            "-keyout", f"{name}.key", "-out", f"{name}.pem", cwd=d)


def make_cert(d, name, ca):
    (d / f"{name}.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout", f"{name}.key",
            "-out", f"{name}.csr", cwd=d)
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem", cwd=d)
    return str(d / f"{name}.pem"), str(d / f"{name}.key")


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("tls")
    make_ca(d, "ca")
    make_ca(d, "other_ca")
    cert, key = make_cert(d, "node", "ca")
    stranger_cert, stranger_key = make_cert(d, "stranger", "other_ca")
    return {"ca": str(d / "ca.pem"), "cert": cert, "key": key, "stranger": (stranger_cert, stranger_key)}


def test_tls_local_cluster_values_like_kestrel_book_and_listens_on_loopback_only(certs):
    exe = kestrel_cli()
    cli = subprocess.run([exe, "book", BOOK, "--market", MARKET, "--format", "json", *ARGS],
                         capture_output=True, text=True, timeout=300)
    py = python_cli(BOOK, "--market", MARKET, "--format", "json", "--workers", "2", "--tls-ca-file", certs["ca"],
                    "--tls-cert", certs["cert"], "--tls-key", certs["key"], *ARGS)
    assert cli.returncode == 0 and py.returncode == 0, py.stderr
    assert py.stdout == cli.stdout

    security = kbook.tls_security(certs["ca"], certs["cert"], certs["key"])
    with kbook.local_cluster(2, security=security) as cluster:
        info = cluster.scheduler_info
        addresses = [cluster.scheduler_address] + list(info["workers"])
        addresses += [w["nanny"] for w in info["workers"].values()]
        assert len(addresses) == 5
        assert all(a.startswith("tls://127.0.0.1:") for a in addresses), addresses
        # Every socket the cluster's processes listen on is on 127.0.0.1, and no dashboard.
        import psutil
        me = psutil.Process()
        listening = [c.laddr for p in [me, *me.children(recursive=True)] for c in p.connections("inet")
                     if c.status == psutil.CONN_LISTEN]
        assert len(listening) >= 5 and all(a.ip == "127.0.0.1" for a in listening), listening
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen(f"http://127.0.0.1:{info['services']['dashboard']}/status", timeout=10)

        # A certificate from another CA: the scheduler refuses the client.
        cert, key = certs["stranger"]
        with pytest.raises(kbook.ClusterError, match="cannot connect .* over TLS"):
            kbook.connect(cluster.scheduler_address, tls_ca_file=certs["ca"], tls_cert=cert, tls_key=key)
        # Our own certificate gets in.
        with kbook.connect(cluster.scheduler_address, tls_ca_file=certs["ca"], tls_cert=certs["cert"],
                           tls_key=certs["key"]) as client:
            assert len(client.scheduler_info()["workers"]) == 2


def test_plain_tcp_to_another_machine_and_bad_tls_files_are_refused_before_connecting(certs, tmp_path):
    with pytest.raises(kbook.ClusterError, match="refusing plain tcp:// to 192.0.2.7.*tls://192.0.2.7:8786.*--insecure"):
        kbook.connect("tcp://192.0.2.7:8786")
    py = python_cli(BOOK, "--market", MARKET, "--scheduler", "tcp://192.0.2.7:8786")
    assert py.returncode == 1 and py.stdout == "" and "--insecure" in py.stderr
    assert len(py.stderr.strip().splitlines()) == 1
    with pytest.raises(kbook.ClusterError, match="give --tls-key"):
        kbook.connect("tls://127.0.0.1:1", tls_ca_file=certs["ca"], tls_cert=certs["cert"])
    with pytest.raises(kbook.ClusterError, match="--tls-cert '.*missing.pem'"):
        kbook.connect("tls://127.0.0.1:1", tls_ca_file=certs["ca"], tls_cert=str(tmp_path / "missing.pem"),
                      tls_key=certs["key"])
    # A server that does not speak TLS: one error at the handshake, no Client left behind.
    with socket.create_server(("127.0.0.1", 0)) as server:
        def answer():
            conn, _ = server.accept()
            with conn:
                conn.sendall(b"plain text, not TLS\n" * 10)
        threading.Thread(target=answer, daemon=True).start()
        with pytest.raises(kbook.ClusterError, match="over TLS: TLS failed .*not a TLS scheduler"):
            kbook.connect(f"tls://127.0.0.1:{server.getsockname()[1]}", tls_ca_file=certs["ca"],
                          tls_cert=certs["cert"], tls_key=certs["key"])
    # A key that is not the certificate's.
    with pytest.raises(kbook.ClusterError, match="unusable TLS files"):
        kbook.connect("tls://127.0.0.1:1", tls_ca_file=certs["ca"], tls_cert=certs["cert"],
                      tls_key=certs["stranger"][1])
