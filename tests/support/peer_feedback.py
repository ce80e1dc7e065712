"""Peer --feedback: records every POST the program sends to its feedback
endpoint. The test build's endpoint is a fixed loopback port (see
PENNANT_FEEDBACK_URL in pennant/CMakeLists.txt), so this peer listens there.

Publishes HTTP_FEEDBACK_REQUESTS (Windows path of the recorded requests)."""
import os

import http_fault_server as fault
from peerlib import windows_path

FEEDBACK_PORT = int(os.environ.get("PENNANT_FEEDBACK_PORT", "38765"))


def start(env):
    running, _, _, requests = fault.start_server(FEEDBACK_PORT, "pennant-feedback-")
    env["HTTP_FEEDBACK_REQUESTS"] = windows_path(requests)
    return running
