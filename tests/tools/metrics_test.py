#!/usr/bin/python3
"""`hxtarrowctl metrics` against a stand-in agent on loopback, its output read
back by Prometheus' own text parser (python3-prometheus-client).

usage: metrics_test.py PATH_TO_HXTARROWCTL
"""
import json
import socket
import struct
import subprocess
import sys
import threading

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


def run_case(ctl, name, chunks, expected_exit, expected, absent):
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
    result = subprocess.run([ctl, "--port", str(port), "metrics"], capture_output=True, text=True, timeout=30)
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
    if problems:
        print(f"FAIL {name}:\n  " + "\n  ".join(problems) + "\n--- output\n" + result.stdout + result.stderr)
        return False
    print(f"ok   {name}")
    return True


def main():
    ctl = sys.argv[1]
    results = [run_case(ctl, *case) for case in CASES]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
