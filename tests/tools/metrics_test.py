#!/usr/bin/python3
"""`hxtarrowctl metrics` against a stand-in agent on loopback and a real
hxsockfilterd in stub mode on loopback, its output read back by Prometheus'
own text parser (python3-prometheus-client).

usage: metrics_test.py PATH_TO_HXTARROWCTL PATH_TO_HXSOCKFILTERD
"""
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from prometheus_client.parser import text_string_to_metric_families


def frame(letter, document):
    payload = letter.encode() + (json.dumps(document) + "\n").encode()
    return struct.pack("<I", len(payload)) + payload


STATUS = {
    "Dns4": {"ProtectionState": "protected"}, "Dns6": {"ProtectionState": "disabled"},
    "Ip4": {"ProtectionState": "notProtected", "connectionError": "true"},
    "Ip6": {"ProtectionState": "notProtected", "connectionError": "false"},
    "AgentStatus": 'odd "name" \\ here', "SWG": {"State": "running", "Enabled": "true"},
}
STATS = {
    "Dns4": {"Udp": {"ReqCnt": "7", "RespCnt": "6"}, "Tcp": {"ReqCnt": "2", "RespCnt": "2"}},
    "Dns6": {"Udp": {"ReqCnt": "4294967295", "RespCnt": "0"}, "Tcp": {"ReqCnt": "-1", "RespCnt": "x"}},
    "SWGHTTPConnCnt": "3", "SWGHTTPSConnCnt": "5", "SWGBypassedConnCnt": "0",
}

# name, what the stand-in sends (None: nobody listens), exit code, samples
# expected ((name, labels) -> value), samples that must be absent
CASES = [
    ("full documents", [frame("A", STATUS), frame("B", STATS)], 0, {
        ("hxtarrow_agent_up", ()): 1,
        ("hxtarrow_agent_status", (("state", 'odd "name" \\ here'),)): 1,
        ("hxtarrow_dns_protection_state", (("family", "ipv4"), ("state", "protected"))): 1,
        ("hxtarrow_dns_protection_state", (("family", "ipv6"), ("state", "disabled"))): 1,
        ("hxtarrow_ip_protection_state", (("family", "ipv4"), ("state", "notProtected"))): 1,
        ("hxtarrow_connection_error", (("family", "ipv4"),)): 1,
        ("hxtarrow_connection_error", (("family", "ipv6"),)): 0,
        ("hxtarrow_swg_state", (("enabled", "true"), ("state", "running"))): 1,
        ("hxtarrow_dns_requests_total", (("family", "ipv4"), ("transport", "udp"))): 7,
        ("hxtarrow_dns_responses_total", (("family", "ipv4"), ("transport", "tcp"))): 2,
        ("hxtarrow_dns_requests_total", (("family", "ipv6"), ("transport", "udp"))): 4294967295,
        ("hxtarrow_swg_connections_total", (("kind", "https"),)): 5,
    }, [("hxtarrow_dns_requests_total", (("family", "ipv6"), ("transport", "tcp"))),
        ("hxtarrow_dns_responses_total", (("family", "ipv6"), ("transport", "tcp")))]),
    # A command document in between, then the statistics first.
    ("any order", [frame("C", {"Commands": [{"Command": "x"}]}), frame("B", STATS), frame("A", STATUS)], 0,
     {("hxtarrow_agent_up", ()): 1}, []),
    ("agent leaves before its statistics", [frame("A", STATUS)], 1, {("hxtarrow_agent_up", ()): 0},
     [("hxtarrow_agent_status", (("state", 'odd "name" \\ here'),))]),
    ("nobody listening", None, 1, {("hxtarrow_agent_up", ()): 0}, []),
]


def serve(listener, chunks):
    connection, _ = listener.accept()
    with connection:
        # Then gone: the client reads every frame before it sees the end.
        for chunk in chunks:
            connection.sendall(chunk)


NO_DAEMON = "/nonexistent/hxsockfilterd.sock"


def run_case(ctl, name, chunks, expected_exit, expected, absent, control=NO_DAEMON):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    server = None
    if chunks is None:
        listener.close()  # the port is now one nobody listens on
    else:
        listener.listen(1)
        server = threading.Thread(target=serve, args=(listener, chunks), daemon=True)
        server.start()
    env = dict(os.environ, HXT_SOCKFILTER_CONTROL=control)
    result = subprocess.run([ctl, "--port", str(port), "metrics"], capture_output=True, text=True, timeout=30,
                            env=env)
    if server:
        server.join(15)
        listener.close()
    problems = []
    if result.returncode != expected_exit:
        problems.append(f"exit code {result.returncode}, expected {expected_exit}")
    samples = {}
    try:
        for family in text_string_to_metric_families(result.stdout):
            if family.type == "unknown":
                problems.append(f"{family.name} has no TYPE line")
            for sample in family.samples:
                samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    except Exception as error:  # the parser has no error type of its own
        problems.append(f"unparsable output: {error}")
    for key, value in expected.items():
        if samples.get(key) != value:
            problems.append(f"{key}: {samples.get(key)}, expected {value}")
    for key in absent:
        if key in samples:
            problems.append(f"{key} should be absent")
    if control == NO_DAEMON:
        if any(key[0].startswith("hxtarrow_filter_") for key in samples):
            problems.append("filter series without a filter daemon")
        if f"# hxtarrow_filter_*: absent: no daemon listens on {NO_DAEMON}" not in result.stdout:
            problems.append("no comment on the filter daemon's absence")
    if problems:
        print(f"FAIL {name}:\n  " + "\n  ".join(problems) + "\n--- output\n" + result.stdout + result.stderr)
        return False
    print(f"ok   {name}")
    return True


def wait_until(what, condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def stub_port(process, log):
    """The port the daemon's IPv4 stub got, from its log; None while it starts.

    The stub binds port 0: a port probed free here could be taken by a parallel
    test before the daemon binds it, and the daemon would exit."""
    with open(log) as text:
        found = re.search(r"IPv4 stub 127\.0\.0\.1:(\d+)", text.read())
    if found:
        return int(found.group(1))
    if process.poll() is not None:
        with open(log) as text:
            raise RuntimeError(f"hxsockfilterd exited with {process.returncode}:\n{text.read()}")
    return None


def answer_queries(resolver):
    # A resolver on loopback: every query back with the response bit set.
    while True:
        try:
            query, sender = resolver.recvfrom(4096)
        except OSError:
            return
        resolver.sendto(query[:2] + bytes([query[2] | 0x80]) + query[3:], sender)


def daemon_case(ctl, daemon):
    """The filter daemon's counters after one query it passed through."""
    with tempfile.TemporaryDirectory() as root, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as resolver, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        os.makedirs(os.path.join(root, "run"))
        resolver.bind(("127.0.0.1", 0))
        threading.Thread(target=answer_queries, args=(resolver,), daemon=True).start()
        log = os.path.join(root, "daemon.log")
        with open(log, "w") as output:
            process = subprocess.Popen(
                [daemon, "--stub4", "127.0.0.1:0", "--stub6", "off", "--resolvers",
                 f"127.0.0.1:{resolver.getsockname()[1]}"],
                env=dict(os.environ, HXT_ROOT=root, HXT_LOG="stderr"), stderr=output)
        control = os.path.join(root, "run", "hxsockfilterd.sock")
        try:
            wait_until("the daemon's stub", lambda: stub_port(process, log) is not None)
            stub = ("127.0.0.1", stub_port(process, log))
            # id 0x1234, recursion desired, one question: example.com A IN
            client.settimeout(10)
            client.sendto(b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                          b"\x07example\x03com\x00\x00\x01\x00\x01", stub)
            answer = client.recv(4096)
            if answer[:2] != b"\x12\x34":
                print("FAIL filter daemon: no answer through the stub")
                return False
            return run_case(ctl, "filter daemon counters", None, 1, {
                ("hxtarrow_agent_up", ()): 0,
                ("hxtarrow_filter_mode", (("mode", "stub"),)): 1,
                ("hxtarrow_filter_agent_connected", ()): 0,
                ("hxtarrow_filter_passed_through_total", ()): 1,
                ("hxtarrow_filter_redirected_total", ()): 0,
                ("hxtarrow_filter_redirection", (("family", "ipv4"),)): 0,
                ("hxtarrow_filter_breaker_open", (("family", "ipv6"),)): 0,
                # on loopback the answer comes within the slowest bound
                ("hxtarrow_filter_pass_through_latency_seconds_bucket", (("le", "2.5"),)): 1,
                ("hxtarrow_filter_pass_through_latency_seconds_bucket", (("le", "+Inf"),)): 1,
                ("hxtarrow_filter_pass_through_latency_seconds_count", ()): 1,
            }, [("hxtarrow_filter_intercepted_total", (("family", "ipv4"),))], control)
        finally:
            process.terminate()
            process.wait(15)


def main():
    ctl, daemon = sys.argv[1], sys.argv[2]
    results = [run_case(ctl, *case) for case in CASES] + [daemon_case(ctl, daemon)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
