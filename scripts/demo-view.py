#!/usr/bin/env python3
"""Compact, readable views of the JSON documents scripts/demo.sh shows (only the standard library).

  demo-view.py status [BOOTSTRAP_PID]   who answered `self status` (its answer on standard input)
  demo-view.py update                   a `self update` answer (or a problem) on standard input
  demo-view.py record FILE              the launcher store record (DATA/launcher/installation.json)
  demo-view.py release FILE             a launcher or bootstrap release document
  demo-view.py archive FILE             only the archive target that release document names
  demo-view.py install                  trelk-install's result on standard input
  demo-view.py resume FILE              a partial download's state document
  demo-view.py received FILE            only its byte count (0 while unreadable), for polling
  demo-view.py metadata                 a trusted-metadata document on standard input
  demo-view.py root FILE                a root document: who signs each role
"""
import json
import sys

MIB = 1024 * 1024


def name(reference):
    if not isinstance(reference, dict):
        return "none"
    return reference.get("build_id") or reference.get("manifest_sha256", "?")[:12]


def size(length):
    return f"{length / MIB:.1f} MiB" if length >= MIB else f"{length} bytes"


def first_json_line(text):
    # Anything a program prints before or after its one line of JSON is shown elsewhere.
    for line in text.splitlines():
        if line.startswith("{"):
            return json.loads(line)
    raise SystemExit("demo-view: no JSON answer in: " + text.strip())


def status(text, bootstrap_pid=None):
    running = first_json_line(text)["running"]
    line = f"  running    {running['build_id']} as pid {running['pid']}"
    if bootstrap_pid:
        how = "the bootstrap's own process" if str(running["pid"]) == bootstrap_pid else "a supervised child"
        line += f"; bootstrap pid {bootstrap_pid}: {how}"
    print(line)


def update(text):
    answer = first_json_line(text)
    if "problem" in answer:
        problem = answer["problem"]
        print(f"  problem    {problem['code']}: {problem['message']}")
        return
    for part in ("launcher", "bootstrap"):
        result = answer[part]
        line = f"  {part:<10} {result['status']:<9} {result.get('build_id') or ''}".rstrip()
        if result.get("path"):
            line += f" from the {'patch' if result['path'] == 'delta' else 'full archive'}"
            line += f", {size(result['downloaded_bytes'])} downloaded"
        print(line)
        if result.get("fallback"):
            print(f"  {'':<10} the delta was not used: {result['fallback']['code']}: {result['fallback']['message']}")


def record(path):
    with open(path) as file:
        document = json.load(file)
    line = (f"  store      active {name(document['active'])}, rollback {name(document['rollback'])},"
            f" candidate {name(document['candidate'])}")
    if document["attempt"] is not None:
        line += ", a start attempt is open"
    print(line + f" (record generation {document['generation']})")
    failed = document.get("failed_candidate")
    if isinstance(failed, dict):
        print(f"  rejected   {name(failed.get('reference'))} ({failed.get('problem', 'no problem recorded')})")


def release(path):
    with open(path) as file:
        document = json.load(file)
    archive = document["archive"]
    print(f"  {document['kind']} {document['build_id']}: {len(document['files'])} files,"
          f" {size(document['expanded_length'])} unpacked; archive {archive['target']}"
          f" ({size(archive['length'])}, sha256 {archive['sha256'][:16]}...)")


def archive(path):
    with open(path) as file:
        print(json.load(file)["archive"]["target"])


def install(text):
    answer = first_json_line(text)
    print(f"  installed  bootstrap {answer['bootstrap']}, launcher {name(answer['launcher'])}"
          f" into {answer['data_dir']}")


def resume(path):
    with open(path) as file:
        state = json.load(file)
    total = state["authorization"]["length"]
    print(f"  state      {state['received']} of {total} bytes received ({size(state['received'])} of {size(total)}),"
          f" prefix sha256 {state['prefix_sha256'][:16]}...")
    print(f"  partial    {state['temporary']}")


def received(path):
    try:
        with open(path) as file:
            print(json.load(file)["received"])
    except (OSError, ValueError, KeyError):
        print(0)


def metadata(text):
    signed = json.loads(text)["signed"]
    print(f"  {signed['_type']} version {signed['version']}, expires {signed['expires']}")


def root(path):
    with open(path) as file:
        document = json.load(file)
    signed = document["signed"]
    for role, entry in signed["roles"].items():
        schemes = ", ".join(signed["keys"][key]["scheme"] for key in entry["keyids"])
        print(f"  {role:<10} {entry['threshold']} of {{{schemes}}}")
    print(f"  root version {signed['version']} carries {len(document['signatures'])} signatures")


def main():
    mode, arguments = sys.argv[1], sys.argv[2:]
    if mode in ("status", "update", "install", "metadata"):
        {"status": status, "update": update, "install": install, "metadata": metadata}[mode](
            sys.stdin.read(), *arguments)
    else:
        {"record": record, "release": release, "archive": archive, "resume": resume, "received": received, "root": root}[mode](*arguments)


if __name__ == "__main__":
    main()
