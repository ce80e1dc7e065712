"""Peer --fault: the tests' own HTTP server for faults (http_fault_server.py).

Publishes HTTP_FAULT_PORT, HTTP_FAULT_ROOT (Windows path of the served
files) and HTTP_FAULT_REQUESTS (Windows path of the recorded requests)."""
import http_fault_server as fault
from peerlib import windows_path


def start(env):
    running, port, root, requests = fault.start_server(0, "pennant-fault-")
    env["HTTP_FAULT_PORT"] = str(port)
    env["HTTP_FAULT_ROOT"] = windows_path(root)
    env["HTTP_FAULT_REQUESTS"] = windows_path(requests)
    return running
