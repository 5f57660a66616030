#!/usr/bin/env python3
"""Runs a shell command on a new pseudo-terminal and types the answers to its
overwrite questions there, one each time a question appears and the terminal
has gone quiet (Wine's console drops what is typed before the program reads).

    answer-on-terminal.py 'ANSWERS' 'COMMAND'   ANSWERS: one character each, e.g. "yqa"

Exits with the command's status; what the terminal showed goes to standard
output with CR LF made LF."""
import os
import pty
import select
import sys

QUESTION = "要覆盖此文件吗?".encode()


def main():
    answers, command = sys.argv[1], sys.argv[2]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("sh", ["sh", "-c", command])
    shown = b""
    asked = 0
    while True:
        try:
            ready, _, _ = select.select([fd], [], [], float(os.environ.get("ANSWER_TIMEOUT", "120")))
        except InterruptedError:
            continue
        if not ready:
            os.kill(pid, 9)  # nothing for two minutes: the command hangs
            break
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        shown += data
        if shown.count(QUESTION) > asked:
            # Wait for the prompt to settle: no more output for a moment.
            while select.select([fd], [], [], 1.0)[0]:
                more = os.read(fd, 4096)
                if not more:
                    break
                shown += more
            answer = answers[asked] if asked < len(answers) else "s"
            asked += 1
            os.write(fd, answer.encode() + b"\r")
    _, status = os.waitpid(pid, 0)
    sys.stdout.buffer.write(shown.replace(b"\r\n", b"\n"))
    sys.exit(os.waitstatus_to_exitcode(status))


main()
