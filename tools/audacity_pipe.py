#!/usr/bin/env python3
"""Sends commands to a running Audacity through mod-script-pipe, one per argument, and
prints its replies. Exits 1 when a command does not finish OK.

Usage: audacity_pipe.py COMMAND...   e.g. 'Import2: Filename=/tmp/in.wav' 'SelectAll:'
"""
import os
import sys

uid = os.getuid()
with open(f"/tmp/audacity_script_pipe.to.{uid}", "w") as to_audacity, \
        open(f"/tmp/audacity_script_pipe.from.{uid}") as from_audacity:
    for command in sys.argv[1:]:
        to_audacity.write(command + "\n")
        to_audacity.flush()
        reply = []
        while (line := from_audacity.readline()) and not (line == "\n" and reply):
            reply.append(line)
        print(f"{command}: {''.join(reply).strip()}")
        if not reply or reply[-1].strip() != "BatchCommand finished: OK":
            sys.exit(1)
