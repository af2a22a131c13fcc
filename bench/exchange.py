#!/usr/bin/env python3
"""zel against curl on the same requests to the same test exchange server, in one run.

Usage: exchange.py BUILD_DIR PKI_DIR [--runs N] [--documents N]
Each work is timed from the server's own clock (microseconds per answered request, --times):
  upload A   one kept-alive connection with gzip (curl gets bodies gzipped beforehand);
  upload B   a connection per document (curl with full handshakes, and with session reuse);
  download   the list, then get and remove of every file over one kept-alive connection.
Prints min and median of each side and their ratio.
"""
import argparse
import gzip
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HOSTS = "localhost,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1"
WORDS = ("товар декларация партия контейнер таможня пошлина сертификат оплата поставка груз "
         "invoice container vessel customs tariff origin weight gross net quantity value").split()


def envelope(participant, envelope_id, rng):
    """A declaration of about 20 KB with varied content, so gzip ratios are real."""
    items = []
    size = 0
    n = 0
    while size < 19000:
        n += 1
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
        item = (f"    <Item n=\"{n}\"><Code>{rng.randint(10**9, 10**10 - 1)}</Code>"
                f"<Text>{words}</Text><Weight>{rng.uniform(0.1, 99999):.3f}</Weight>"
                f"<Value currency=\"RUB\">{rng.uniform(1, 10**7):.2f}</Value></Item>\n")
        items.append(item)
        size += len(item.encode())
    return ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<env:Envelope xmlns:env=\"http://www.w3.org/2001/06/soap-envelope\">\n"
            "  <env:Header>\n"
            f"    <ed:EDHeader xmlns:ed=\"urn:bench:EDHeader\"><ed:ParticipantID>{participant}</ed:ParticipantID>"
            "</ed:EDHeader>\n"
            f"    <roi:RoutingInf xmlns:roi=\"urn:bench:RoutingInf\"><roi:EnvelopeID>{envelope_id}</roi:EnvelopeID>"
            "</roi:RoutingInf>\n"
            "  </env:Header>\n  <env:Body><Declaration>\n" + "".join(items) +
            "  </Declaration></env:Body>\n</env:Envelope>\n").encode()


class Server:
    """The test exchange server with fresh mailboxes for alice."""

    def __init__(self, build, pki, work):
        self.work = work
        os.makedirs(work)
        self.mailboxes = os.path.join(work, "mailboxes")
        self.times = os.path.join(work, "times")
        with open(os.path.join(work, "accounts"), "w") as f:
            f.write("alice alice-pass PID-ALICE\n")
        port_file = os.path.join(work, "port")
        self.process = subprocess.Popen(
            [os.path.join(build, "testing/exchange_server"), "--cert", os.path.join(pki, "good.pem"),
             "--key", os.path.join(pki, "good-key.pem"), "--port-file", port_file,
             "--accounts", os.path.join(work, "accounts"), "--mailboxes", self.mailboxes,
             "--journal", os.path.join(work, "journal"), "--times", self.times],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(400):
            if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
                break
            time.sleep(0.01)
        self.port = int(open(port_file).read())

    def inbox(self):
        return os.path.join(self.mailboxes, "alice", "inbox")

    def posted(self):
        return os.path.join(self.mailboxes, "alice", "posted")

    def answers(self):
        """(seconds, op, status) of every answered request."""
        if not os.path.exists(self.times):
            return []
        out = []
        for line in open(self.times):
            us, op, status = line.split()
            out.append((int(us) / 1e6, op, int(status)))
        return out

    def stop(self):
        self.process.terminate()
        self.process.wait()


def span(answers, ops, start=None):
    """From the first request of `ops` (or `start`) to the last 200 among them."""
    chosen = [a for a in answers if a[1] in ops]
    ok = [a[0] for a in chosen if a[2] == 200]
    if not ok:
        return float("nan")
    return max(ok) - (start if start is not None else min(a[0] for a in chosen))


def run_zel(build, server, work, documents, hostid, expect):
    """zel in the foreground, one account; returns (start time, answers) once `expect` holds."""
    base = os.path.join(work, "base")
    os.makedirs(base)
    shutil.copy(os.path.join(build, "service/zel"), base)
    subprocess.run([os.path.join(base, "zel"), "-g"], check=True, stdout=subprocess.DEVNULL)
    for sub in ("in", "out", "bad", "queue", "temp", "log"):
        os.makedirs(os.path.join(base, sub), exist_ok=True)
    sealed = subprocess.run([os.path.join(build, "testing/zel_seal"), "alice", "alice-pass"],
                            check=True, capture_output=True, text=True).stdout.strip()
    config_path = os.path.join(base, "config.xml")
    config = open(config_path, newline="").read()
    account = (f'    <Account name="Alice" ParticipantID="PID-ALICE" login="alice" password="{sealed}" '
               f'notify="false" phone="" timeout="15" hostid="{hostid}" />\r\n')
    config = config.replace("  <Accounts>\r\n", "  <Accounts>\r\n" + account)
    config = config.replace('<Server port="443"', f'<Server port="{server.port}"')
    open(config_path, "w", newline="").write(config)
    for name, body in documents:
        with open(os.path.join(base, "out", name), "wb") as f:
            f.write(body)
    env = dict(os.environ, SSL_CERT_FILE=os.path.join(PKI, "ca.pem"), ZEL_SERVER_HOSTS=HOSTS,
               ZEL_STATE_DIR=os.path.join(work, "state"))
    start = time.time()
    zel = subprocess.Popen([os.path.join(base, "zel"), "-f"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    deadline = time.time() + 300
    while not expect(base) and time.time() < deadline:
        time.sleep(0.05)
    zel.send_signal(signal.SIGINT)
    try:
        zel.wait(timeout=30)
    except subprocess.TimeoutExpired:
        zel.kill()
        zel.wait()
    if not expect(base):
        sys.exit(f"zel did not finish its work in {work}")
    return start, base


def curl(config_lines, work, name):
    path = os.path.join(work, name + ".curl")
    with open(path, "w") as f:
        f.write("\n".join(config_lines[1:]) + "\n")  # no "next" before the first request
    start = time.time()
    subprocess.run(["curl", "--config", path], check=True, stdout=subprocess.DEVNULL)
    return start


def request(url, headers, extra=()):
    """One request of a curl config; every option is given again after "next", which resets them."""
    return (["next", f'url = "{url}"', f'cacert = "{os.path.join(PKI, "ca.pem")}"', "silent", "show-error", "fail"] +
            [f'header = "{h}"' for h in headers] + list(extra))


AUTH = ["ED-LOGIN: alice", "ED-PASS: alice-pass"]


def upload_curl(server, work, documents, keep_alive, gzipped, session_reuse):
    lines = []
    host = "localhost" if keep_alive else "127.0.0.1"
    for i, (name, body) in enumerate(documents):
        path = os.path.join(work, f"body{i}")
        with open(path, "wb") as f:
            f.write(gzip.compress(body) if gzipped else body)
        headers = AUTH + ["Content-Type: application/xml",
                          "Connection: " + ("keep-alive" if keep_alive else "close")]
        if gzipped:
            headers.append("Content-Encoding: gzip")
        envelope_id = name[:-4]
        extra = [f'data-binary = "@{path}"', 'output = "/dev/null"'] + ([] if session_reuse else ["no-sessionid"])
        lines += request(f"https://{host}:{server.port}/EDAP/send.php?id={envelope_id}", headers, extra)
    return curl(lines, work, "upload")


def download_curl(server, work, names):
    # curl asks only for gzip, as zel does: offered brotli too, the test server would spend some 20 ms
    # compressing each file with it.
    lines = request(f"https://localhost:{server.port}/EDAP/list.php", AUTH + ["Connection: close"],
                    ['output = "/dev/null"'])
    start = curl(lines, work, "list")
    lines = []
    for name in names:
        lines += request(f"https://localhost:{server.port}/EDAP/get.php?file={name}",
                         AUTH + ["Connection: keep-alive", "Accept-Encoding: gzip"],
                         ["compressed", f'output = "{os.path.join(work, "got", name)}"'])
        lines += request(f"https://localhost:{server.port}/EDAP/rm.php?file={name}",
                         AUTH + ["Connection: keep-alive"], ['output = "/dev/null"'])
    os.makedirs(os.path.join(work, "got"))
    curl(lines, work, "download")
    return start


def sync_cost(folder, documents):
    """What zel must add per document so that a file leaves the server only once it is safe:
    write to a temporary name, fsync it, rename, fsync the folder."""
    os.makedirs(folder)
    start = time.time()
    dirfd = os.open(folder, os.O_RDONLY)
    for name, body in documents:
        tmp = os.path.join(folder, ".tmp")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, body)
        os.fsync(fd)
        os.close(fd)
        os.rename(tmp, os.path.join(folder, name))
        os.fsync(dirfd)
    os.close(dirfd)
    synced = time.time() - start
    # The same writes without the syncs, so that only the syncs count.
    folder2 = folder + "-plain"
    os.makedirs(folder2)
    start = time.time()
    for name, body in documents:
        tmp = os.path.join(folder2, ".tmp")
        with open(tmp, "wb") as f:
            f.write(body)
        os.rename(tmp, os.path.join(folder2, name))
    return max(0.0, synced - (time.time() - start))


def main():
    global PKI
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("pki")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--documents", type=int, default=1000)
    parser.add_argument("--work", default=None, help="folder for the runs (default: a new one in the build folder)")
    args = parser.parse_args()
    build, PKI = os.path.abspath(args.build), os.path.abspath(args.pki)
    root = tempfile.mkdtemp(prefix="exchange-bench.", dir=args.work or build)
    rng = random.Random(20261210)
    documents = []
    for i in range(args.documents):
        envelope_id = f"bench-{i:05d}"
        documents.append((envelope_id + ".xml", envelope("PID-ALICE", envelope_id, rng)))
    size = sum(len(b) for _, b in documents) / len(documents)
    packed = sum(len(gzip.compress(b)) for _, b in documents) / len(documents)
    print(f"{len(documents)} documents, {size / 1024:.1f} KB each on average, {packed / 1024:.1f} KB gzipped")

    rows = {}  # work -> ([zel], [curl], note)

    def add(work, zel_seconds, curl_seconds):
        z, c = rows.setdefault(work, ([], []))
        z.append(zel_seconds)
        c.append(curl_seconds)

    every_posted = lambda base: os.path.isdir(server.posted()) and len(os.listdir(server.posted())) >= len(documents)
    downloads_seen_lists = []
    syncs = []
    for run in range(args.runs):
        # Upload, batch A.
        server = Server(build, PKI, os.path.join(root, f"a{run}-zel-server"))
        start, _ = run_zel(build, server, os.path.join(root, f"a{run}-zel"), documents, 0, every_posted)
        answers = server.answers()
        server.stop()
        posts = [a for a in answers if a[1] == "post"]
        zel_worked = span(posts, {"post"})
        zel_from_start = span(posts, {"post"}, start)
        server = Server(build, PKI, os.path.join(root, f"a{run}-curl-server"))
        work = os.path.join(root, f"a{run}-curl")
        os.makedirs(work)
        curl_start = upload_curl(server, work, documents, True, True, True)
        curl_answers = server.answers()
        server.stop()
        add("upload A, first request to last 200", zel_worked, span(curl_answers, {"post"}))
        add("upload A, documents in outbound at start to last 200", zel_from_start,
            span(curl_answers, {"post"}, curl_start))

        # Upload, batch B: a connection per document.
        server = Server(build, PKI, os.path.join(root, f"b{run}-zel-server"))
        run_zel(build, server, os.path.join(root, f"b{run}-zel"), documents, 1, every_posted)
        zel_b = span(server.answers(), {"post"})
        server.stop()
        for reuse in (False, True):
            server = Server(build, PKI, os.path.join(root, f"b{run}-curl{int(reuse)}-server"))
            work = os.path.join(root, f"b{run}-curl{int(reuse)}")
            os.makedirs(work)
            upload_curl(server, work, documents, False, False, reuse)
            add("upload B, curl " + ("reusing sessions" if reuse else "full handshakes"), zel_b,
                span(server.answers(), {"post"}))
            server.stop()

        # Download: everything waiting in one list.
        server = Server(build, PKI, os.path.join(root, f"d{run}-zel-server"))
        for name, body in documents:
            with open(os.path.join(server.inbox(), name), "wb") as f:
                f.write(body)
        inbound_full = lambda base: len([n for n in os.listdir(os.path.join(base, "in"))
                                         if n.endswith(".xml")]) >= len(documents) and not os.listdir(server.inbox())
        run_zel(build, server, os.path.join(root, f"d{run}-zel"), [], 0, inbound_full)
        answers = server.answers()
        server.stop()
        last_remove = max(a[0] for a in answers if a[1] == "remove" and a[2] == 200)
        downloads_seen_lists.append(len([a for a in answers if a[1] == "list" and a[0] <= last_remove]))
        zel_d = span(answers, {"list", "get", "remove"})
        server = Server(build, PKI, os.path.join(root, f"d{run}-curl-server"))
        for name, body in documents:
            with open(os.path.join(server.inbox(), name), "wb") as f:
                f.write(body)
        work = os.path.join(root, f"d{run}-curl")
        os.makedirs(work)
        download_curl(server, work, [n for n, _ in documents])
        curl_d = span(server.answers(), {"list", "get", "remove"})
        server.stop()
        sync = sync_cost(os.path.join(root, f"d{run}-sync"), documents)
        syncs.append(sync)
        add("download, list to last removal (curl + syncs = floor)", zel_d, curl_d + sync)
        shutil.rmtree(os.path.join(root, f"d{run}-sync"))
        shutil.rmtree(os.path.join(root, f"d{run}-sync-plain"))

    print(f"\n{args.runs} runs; seconds from the server's clock; ratio = zel / curl (min over min)")
    print(f"{'work':58} {'zel min':>8} {'zel med':>8} {'curl min':>9} {'curl med':>9} {'ratio':>6}")
    for work, (z, c) in rows.items():
        print(f"{work:58} {min(z):8.3f} {statistics.median(z):8.3f} {min(c):9.3f} {statistics.median(c):9.3f} "
              f"{min(z) / min(c):6.2f}")
    print(f"\nsyncs zel must make for {len(documents)} downloads (fsync file and folder each), on this disk: "
          f"min {min(syncs):.3f} s, median {statistics.median(syncs):.3f} s")
    print(f"list retrievals before the last removal, per download run: {downloads_seen_lists} "
          "(1 = all documents taken from one list)")
    shutil.rmtree(root)


if __name__ == "__main__":
    PKI = ""
    main()
