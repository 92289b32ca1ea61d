#!/usr/bin/env python3
"""check_layers.py on a small fake tree: the clean tree passes, and each planted offence fails
with its rule named."""
import json
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_layers.py")

# Below src/; build/ is the build folder. ../qt6 stands for the Qt headers.
CLEAN = {
    "platform/hid.hpp": "",
    "platform/host.hpp": '#include "platform/hid.hpp"\n',
    "platform/linux/hid.hpp": '#include "platform/hid.hpp"\n',
    "platform/linux/hid.cpp": '#include "platform/linux/hid.hpp"\n#include <unistd.h>\n',
    "firmware/image.cpp": "#include <vector>\n",
    "device/protocol.hpp": "",
    "device/link.hpp": '#include "platform/hid.hpp"\n',
    "device/link.cpp": '#include "device/link.hpp"\n#include "device/protocol.hpp"\n',
    "sim/world.cpp": '#include "device/protocol.hpp"\n',
    "wizard/wizard.hpp": '#include "wizard/version.hpp"\n#include "device/link.hpp"\n',
    "build/generated/wizard/version.hpp": "",
    "frontend/session.cpp": '#include <QString>\n#include "platform/host.hpp"\n'
                            '#include "wizard/wizard.hpp"\n',
    "app/main.cpp": '#include <QWidget>\n#include "wizard/wizard.hpp"\n',
    "tests/link_test.cpp": '#include <QWidget>\n#include <unistd.h>\n'
                           '#include "platform/linux/hid.hpp"\n',
    "../qt6/QtCore/QString": "",
    "../qt6/QtWidgets/QWidget": "",
}
WIZARD = ["wizard/wizard.hpp", "build/generated/wizard/version.hpp", "device/link.hpp",
          "platform/hid.hpp"]
# Each source with the files its compilation opened, and the Qt modules it is built with.
OBJECTS = {
    "platform/linux/hid.cpp": (["platform/linux/hid.hpp", "platform/hid.hpp"], []),
    "firmware/image.cpp": ([], []),
    "device/link.cpp": (["device/link.hpp", "device/protocol.hpp", "platform/hid.hpp"], []),
    "sim/world.cpp": (["device/protocol.hpp"], []),
    "frontend/session.cpp": (["../qt6/QtCore/QString", "platform/host.hpp"] + WIZARD, ["QtCore"]),
    "app/main.cpp": (["../qt6/QtWidgets/QWidget"] + WIZARD, ["QtCore", "QtWidgets"]),
    "tests/link_test.cpp": (["../qt6/QtWidgets/QWidget", "platform/linux/hid.hpp",
                             "platform/hid.hpp"], ["QtCore", "QtWidgets"]),
}

# What is planted (lines added to files, files a compilation opened besides) and the line that
# must name it.
PLANTED = [
    ("a project header in angle brackets",
     {"platform/hid.hpp": "#include <wizard/wizard.hpp>"}, {},
     "platform/hid.hpp: includes wizard/wizard.hpp (as <wizard/wizard.hpp>): "
     "platform/ must not include wizard/"),
    (".h header of a higher room",
     {"wizard/steps.h": "", "device/link.cpp": '#include "wizard/steps.h"'}, {},
     "device/link.cpp: includes wizard/steps.h: device/ must not include wizard/"),
    ("own include of a .h header",
     {"device/legacy.h": "#include <QString>", "device/link.hpp": '#include "device/legacy.h"'},
     {}, "device/legacy.h: includes <QString>: Qt only in app/, cli/, frontend/"),
    ("generated header of a lower room",
     {"build/generated/wizard/version.hpp": '#include "frontend/session.hpp"',
      "frontend/session.hpp": ""}, {},
     "build/generated/wizard/version.hpp: includes frontend/session.hpp: "
     "wizard/ must not include frontend/"),
    ("sim beyond the shared protocol",
     {"sim/world.cpp": '#include "device/link.hpp"'}, {},
     "sim/world.cpp: includes device/link.hpp: sim/ must not include device/"),
    ("front end on platform/linux/",
     {"frontend/session.cpp": '#include "platform/linux/hid.hpp"'}, {},
     "frontend/session.cpp: includes platform/linux/hid.hpp: "
     "only platform/ may use platform/linux/"),
    ("platform/linux/ through a platform/ header",
     {"platform/host.hpp": '#include "platform/linux/hid.hpp"'},
     {"frontend/session.cpp": ["platform/linux/hid.hpp"]},
     "frontend/session.cpp: reaches platform/linux/hid.hpp through platform/host.hpp: "
     "only platform/ may use platform/linux/"),
    ("Qt in device/",
     {"device/link.cpp": "#include <QString>"}, {},
     "device/link.cpp: includes <QString>: Qt only in app/, cli/, frontend/"),
    ("Qt Widgets in frontend/",
     {"frontend/session.cpp": "#include <QWidget>"}, {},
     "frontend/session.cpp: includes <QWidget>: Qt Widgets only in app/"),
    ("OS header in firmware/",
     {"firmware/image.cpp": "#include <unistd.h>"}, {},
     "firmware/image.cpp: includes <unistd.h>: operating-system and C headers only in platform/"),
    ("a header opened through a macro",
     {"device/extra.hpp": ""}, {"device/link.cpp": ["device/extra.hpp"]},
     "device/link.cpp: opened device/extra.hpp, which none of its #include lines leads to"),
    ("an object the dependency log does not know",
     {}, {"sim/world.cpp": None},
     "has no record of 1 of the 7 objects"),
]


def run(files, opened):
    with tempfile.TemporaryDirectory() as top:
        src = os.path.join(top, "src")
        build = os.path.join(src, "build")
        for name, text in files.items():
            path = os.path.join(src, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
        commands, listing = [], []
        for source, (headers, modules) in OBJECTS.items():
            flags = f"-I{src} -I{build}/generated" + "".join(
                f" -isystem {top}/qt6/{module}" for module in modules)
            obj = source + ".o"
            commands.append({"directory": build, "file": os.path.join(src, source),
                             "command": f"c++ {flags} -o {obj} -c {os.path.join(src, source)}"})
            extra = opened.get(source, [])
            if extra is None:
                continue
            paths = [source] + headers + extra
            listing.append(f"{obj}: #deps {len(paths)}, deps mtime 1 (VALID)\n" +
                           "".join(f"    {os.path.join(src, p)}\n" for p in paths) + "\n")
        os.makedirs(build, exist_ok=True)
        with open(os.path.join(build, "compile_commands.json"), "w", encoding="utf-8") as out:
            json.dump(commands, out)
        deps = os.path.join(top, "deps.txt")
        with open(deps, "w", encoding="utf-8") as out:
            out.write("".join(listing))
        result = subprocess.run([sys.executable, CHECK, src, build, "--deps", deps],
                                capture_output=True, text=True, check=False)
        return result.returncode, result.stdout + result.stderr


def main():
    failures = []
    code, output = run(CLEAN, {})
    if code != 0 or output:
        failures.append(f"the clean tree fails:\n{output}")
    for name, lines, opened, expected in PLANTED:
        files = dict(CLEAN)
        for path, line in lines.items():
            files[path] = files.get(path, "") + line + "\n"
        code, output = run(files, opened)
        if code == 0 or expected not in output:
            failures.append(f"{name}: exit {code}, expected a line with\n  {expected}\n"
                            f"got:\n{output}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
