#!/usr/bin/env python3
"""`velko call` and `velko session` against `velko emulator`, as a person
would use them from a shell: separate processes, JSON on standard output."""
import glob
import json
import xml.etree.ElementTree as ElementTree
import os
import subprocess
import sys
import tempfile


def run(velko, args, stdin=None, env=None):
    proc = subprocess.run([velko] + args, input=stdin, capture_output=True, text=True,
                          timeout=60, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def main(velko):
    data = tempfile.mkdtemp(prefix="velko-call-test-")
    env = dict(os.environ, VELKO_COMMON_APPDATA=data)
    emu = subprocess.Popen([velko, "emulator", "--listen", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, text=True, env=env)
    try:
        first = emu.stdout.readline().strip()
        assert first.startswith("listening on 127.0.0.1:"), first
        port = first.rsplit(":", 1)[1]

        # A payment of 100 as a cashier would type it.
        rc, out, err = run(velko, ["call", "--set", "ServerPort=" + port, "--open",
                                   "PayByPaymentCard", "", "", "100", "", "", "", ""], env=env)
        assert rc == 0, (rc, out, err)
        result = json.loads(out)
        assert result["method"] == "PayByPaymentCard", result
        assert result["number"] == 11, result
        assert result["hresult"] == 0 and result["return"] is True, result
        pan = result["params"][1]
        assert len(pan) >= 13 and pan[:-4] == "*" * (len(pan) - 4), pan
        assert len(result["params"][3]) == 10 and result["params"][3].isdigit(), result
        assert result["params"][2] == 100, result
        assert result["lastError"] == {"code": 0, "text": result["lastError"]["text"]}, result

        # A method called by its Russian name on a closed device: false, exit 1.
        rc, out, err = run(velko, ["call", "--set", "ServerPort=" + port, "ИтогиДняПоКартам"], env=env)
        assert rc == 1, (rc, out, err)
        result = json.loads(out)
        assert result["return"] is False and result["lastError"]["code"] == 70, result

        # The oldest host platform gets 1 for true.
        rc, out, err = run(velko, ["call", "--host-exe", "1cv7.exe", "GetVersion"], env=env)
        assert rc == 0 and json.loads(out)["return"] == "1.1.1.4", (rc, out, err)
        rc, out, err = run(velko, ["call", "--host-exe", "1cv7.exe", "Отключить"], env=env)
        assert rc == 0 and json.loads(out)["return"] == 1, (rc, out, err)
        # ... and 0 for false, which still makes the exit status 1; a number
        # that is the method's own answer (the last error's code) does not.
        rc, out, err = run(velko, ["call", "--host-exe", "1cv7.exe", "ИтогиДняПоКартам", ""], env=env)
        assert rc == 1 and json.loads(out)["return"] == 0, (rc, out, err)
        rc, out, err = run(velko, ["call", "--host-exe", "1cv7.exe", "ПолучитьОшибку", ""], env=env)
        assert rc == 0 and json.loads(out)["return"] == 0, (rc, out, err)

        # The debug log of a call ends with its closing line.
        rc, out, err = run(velko, ["call", "--set", "DebugLogEnabled=true", "GetVersion"], env=env)
        assert rc == 0, (rc, out, err)
        logs = glob.glob(os.path.join(data, "**", "a_velko1c83_*.log"), recursive=True)
        assert len(logs) == 1, logs
        with open(logs[0], "rb") as f:
            assert f.read().endswith(b"============Stop log===============\r\n\r\n"), logs[0]

        # The parameter table is well-formed XML with the eight settings in order.
        rc, out, err = run(velko, ["call", "ПолучитьПараметры", ""], env=env)
        assert rc == 0, (rc, out, err)
        root = ElementTree.fromstring(json.loads(out)["params"][0])
        assert root.tag == "Settings", root.tag
        page = root.find("Page")
        assert page.get("Caption") == "Параметры", page.attrib
        names = [p.get("Name") for p in page.findall("Parameter")]
        assert names == ["DebugLogEnabled", "CurrencyCode", "ECRNumber", "ServerAddress", "ServerPort",
                         "AnswerTimeOut", "PrintOnTerminal", "MerchantID"], names
        merchant = page.findall("Parameter")[-1]
        assert merchant.get("DefaultValue") == "" and "DefaultValue" in merchant.attrib, merchant.attrib
        assert list(page.findall("Parameter")[0].attrib) == ["Name", "Caption", "TypeValue", "DefaultValue"]

        # Usage errors.
        for args in (["call", "NoSuchMethod"], ["call", "--set", "NoSuchSetting=1", "GetVersion"],
                     ["call", "--set", "ServerPort=abc", "GetVersion"], ["call", "GetVersion", "1", "2"]):
            rc, out, err = run(velko, args, env=env)
            assert rc == 2 and err.strip(), (args, rc, out, err)

        # A session: settings, calls, a cancellation whose receipt number the
        # cashier types on the next line, and a line that is not JSON.
        lines = [
            {"set": "ServerPort", "value": port},
            {"get": "ServerPort"},
            {"call": "Подключить", "params": [None]},
            {"call": "ОплатитьПлатежнойКартой", "params": [None, "", 25.5, None, None, None, None]},
        ]
        stdin = "\n".join(json.dumps(l) for l in lines) + "\nnot json\n"
        rc, out, err = run(velko, ["session"], stdin=stdin, env=env)
        assert rc == 0, (rc, out, err)
        answers = [json.loads(l) for l in out.splitlines()]
        assert answers[0] == {"set": "ServerPort", "hresult": 0}, answers[0]
        assert answers[1] == {"get": "ServerPort", "value": int(port)}, answers[1]
        assert answers[2]["return"] is True, answers[2]
        assert answers[3]["return"] is True and answers[3]["params"][2] == 25.5, answers[3]
        assert "error" in answers[4], answers[4]
        receipt = answers[3]["params"][3]

        stdin = (json.dumps({"set": "ServerPort", "value": port}) + "\n"
                 + json.dumps({"call": "Open", "params": [None]}) + "\n"
                 + json.dumps({"call": "CancelPaymentByPaymentCard",
                               "params": [None, None, 25.5, "", "", "", None]}) + "\n"
                 + receipt + "\n")
        rc, out, err = run(velko, ["session"], stdin=stdin, env=env)
        answers = [json.loads(l) for l in out.splitlines()]
        assert answers[2]["return"] is True, (answers, err)
        # A line that is neither JSON nor UTF-8 is answered with an error line,
        # and the session goes on with the next one.
        proc = subprocess.run([velko, "session"], input=b"\xff\xfe{not json\n" + json.dumps(
            {"get": "ServerPort"}).encode() + b"\n", capture_output=True, timeout=60, env=env)
        assert proc.returncode == 0, (proc.returncode, proc.stderr)
        answers = [json.loads(l) for l in proc.stdout.decode("utf-8").splitlines()]
        assert len(answers) == 2 and "error" in answers[0], answers
        assert answers[1]["get"] == "ServerPort", answers
        print("velko call and session: all checks passed")
    finally:
        emu.terminate()
        emu.wait(timeout=10)


if __name__ == "__main__":
    main(sys.argv[1])
