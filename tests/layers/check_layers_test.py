#!/usr/bin/env python3
"""The layer check passes a tree that keeps the order and names every include that breaks it."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "check-layers")


def run_check(files):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as out:
                out.write(text)
        done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True,
                              timeout=60)
        return done.returncode, done.stdout


class CheckLayers(unittest.TestCase):
    def test_downward_sibling_and_interface_includes_pass(self):
        code, out = run_check({
            "engine/kestrelfetch.h": "",
            "engine/os/File.h": "#include <cstdio>\n",
            "engine/base/QThread.h": '#include "engine/os/File.h"\n',
            "engine/task/TBaseWork.h": '#include "engine/kestrelfetch.h"\n'
                                       '#include "engine/base/QThread.h"\n'
                                       '#include "engine/task/Other.h"\n',
            "engine/task/Other.h": "",
            "engine/api/Calls.cpp": '#include "engine/task/TBaseWork.h"\n',
            "tools/kfget.cpp": '#include "engine/kestrelfetch.h"\n#include "local.h"\n',
            "app/platform/Launcher.h": "",
            "app/Controller.cpp": '#include "app/platform/Launcher.h"\n'
                                  '#include "engine/base/QThread.h"\n',
            "app/window/MainWindow.h": '#include "app/Controller.h"\n',
            "app/program/main.cpp": '#include "app/window/MainWindow.h"\n',
            "app/Controller.h": "",
        })
        self.assertEqual((code, out), (0, ""))

    def test_each_upward_include_is_named_with_file_and_line(self):
        code, out = run_check({
            "engine/api/TaskTable.h": "",
            "engine/task/QThread.h": "",
            "engine/os/File.cpp": '// the clock\n#include "engine/task/QThread.h"\n',
            "engine/task/TBaseWork.cpp": '#include "engine/task/QThread.h"\n'
                                         '  #  include "engine/api/TaskTable.h"\n',
            "engine/peers/Peer.cpp": '#include "../task/QThread.h"\n',
            "tools/kfget.cpp": '#include "engine/task/QThread.h"\n',
            "app/platform/Paths.cpp": '#include "app/Controller.h"\n',
            "app/Controller.h": '#include "app/window/MainWindow.h"\n',
            "app/window/MainWindow.h": '#include "app/program/Options.h"\n',
            "app/program/Options.h": "",
        })
        self.assertEqual(code, 1)
        self.assertEqual(sorted(line.split(": ")[0] for line in out.splitlines()), [
            "app/Controller.h:1", "app/platform/Paths.cpp:1", "app/window/MainWindow.h:1",
            "engine/os/File.cpp:2", "engine/peers/Peer.cpp:1", "engine/task/TBaseWork.cpp:2",
            "tools/kfget.cpp:1"])

    def test_a_folder_outside_the_layer_list_is_reported(self):
        code, out = run_check({"engine/net/Mesh.cpp": '#include "engine/mesh/Node.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn("engine/net/Mesh.cpp:1: includes engine/mesh/Node.h, which is in no layer",
                      out)

    def test_udp_sits_between_net_and_content_and_only_the_server_tool_reaches_it(self):
        code, out = run_check({
            "engine/net/QUdpSocket.h": "",
            "engine/udp/Endpoint.h": '#include "engine/net/QUdpSocket.h"\n',
            "engine/content/Pieces.h": '#include "engine/udp/Endpoint.h"\n',
            "engine/net/Socket.cpp": '#include "engine/udp/Endpoint.h"\n',
            "tools/kf-rendezvous/main.cpp": '#include "engine/udp/Endpoint.h"\n',
            "tools/kfget/main.cpp": '#include "engine/udp/Endpoint.h"\n',
        })
        self.assertEqual(code, 1)
        self.assertEqual(sorted(line.split(": ")[0] for line in out.splitlines()),
                         ["engine/net/Socket.cpp:1", "tools/kfget/main.cpp:1"])


if __name__ == "__main__":
    unittest.main()
