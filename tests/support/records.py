#!/usr/bin/env python3
"""plemo-flash's --json records (one JSON object a line), read for the shell
tests:
  records.py wait RECORDS COUNT SECONDS   until RECORDS holds COUNT results
                                          (exit 1 when SECONDS ran out first)
  records.py ports RECORDS                the port of every result, a line each
  records.py events RECORDS               "EVENT PORT" for every record, in order
  records.py succeeded RECORDS PORT       PORT's one result is a success with
                                          every byte confirmed
Every complete line must be a record with an "event" and a "port"; a last
line still being written is left for later. What is wrong goes to stderr."""
import json
import sys
import time


class BadRecords(Exception):
    pass


def read_records(path):
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except FileNotFoundError:
        return []
    records = []
    for number, line in enumerate(text.split("\n")[:-1], 1):
        try:
            record = json.loads(line)
        except json.JSONDecodeError as error:
            raise BadRecords(f"{path}:{number}: not JSON ({error}): {line!r}")
        if not isinstance(record, dict) or not {"event", "port"} <= record.keys():
            raise BadRecords(f"{path}:{number}: no record with an event and a port: {line!r}")
        records.append(record)
    return records


def results(path):
    return [record for record in read_records(path) if record["event"] == "result"]


def wait(path, count, seconds):
    deadline = time.monotonic() + float(seconds)
    while len(results(path)) < int(count):
        if time.monotonic() > deadline:
            print(f"{path}: {len(results(path))} of {count} results after {seconds} s",
                  file=sys.stderr)
            return False
        time.sleep(0.05)
    return True


def ports(path):
    for record in results(path):
        print(record["port"])
    return True


def events(path):
    for record in read_records(path):
        print(record["event"], record["port"])
    return True


def succeeded(path, port):
    mine = [record for record in results(path) if record["port"] == port]
    if len(mine) != 1:
        print(f"{path}: {len(mine)} results for {port}", file=sys.stderr)
        return False
    result = mine[0]
    confirmed, to_send = result.get("bytesConfirmed"), result.get("bytesToSend")
    if result.get("outcome") == "success" and result.get("exitStatus") == 0 \
            and isinstance(to_send, int) and to_send > 0 and confirmed == to_send:
        return True
    print(f"{path}: {port}: {json.dumps(result, sort_keys=True)}", file=sys.stderr)
    return False


def main(argv):
    commands = {"wait": (wait, 3), "ports": (ports, 1), "events": (events, 1),
                "succeeded": (succeeded, 2)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    function = commands[argv[1]][0]
    try:
        return 0 if function(*argv[2:]) else 1
    except BadRecords as error:
        print(error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
