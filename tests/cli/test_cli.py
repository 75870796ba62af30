import subprocess
import sys

import pytest

from quorvix.cli import main


def test_demo_reports_rules_and_repairs(capsys):
    assert main(["demo"]) == 0
    out = capsys.readouterr().out
    assert "Rule 'age > 0': 3 violations" in out
    assert "Rule 'if age < 18 then income == 0': 1 violations" in out
    assert "7 of 40 rows break at least one rule" in out
    assert "fix(strategy='drop'    ) ->  33 rows, 0 violations left" in out


def test_demo_runs_as_a_module():
    out = subprocess.run([sys.executable, "-m", "quorvix", "demo"], capture_output=True, text=True, check=True)
    assert "Rules:" in out.stdout and out.stderr == ""


def test_unknown_command_is_a_usage_error(capsys):
    with pytest.raises(SystemExit) as info:
        main(["nonsense"])
    assert info.value.code == 2
    assert "invalid choice" in capsys.readouterr().err
