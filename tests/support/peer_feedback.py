"""Peer --feedback: records every POST the program sends to its feedback
endpoint, on a free loopback port of its own, so that tests side by side
never see each other's reports. The test trees' pennant.exe reports to
PENNANT_FEEDBACK_URL when that is set (the deliverables have no such way).

Publishes PENNANT_FEEDBACK_URL and HTTP_FEEDBACK_REQUESTS (Windows path of
the recorded requests)."""
import http_fault_server as fault
from peerlib import windows_path


def start(env):
    running, port, _, requests = fault.start_server(0, "pennant-feedback-")
    env["PENNANT_FEEDBACK_URL"] = "http://127.0.0.1:%d/api/record/feedback" % port
    env["HTTP_FEEDBACK_REQUESTS"] = windows_path(requests)
    return running
