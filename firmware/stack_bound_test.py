#!/usr/bin/env python3
"""The stack bound's rules on small made-up call graphs and disassemblies
(python3 firmware/stack_bound_test.py; CTest runs it in host test builds)."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stack_bound as sb  # noqa: E402


def graph(frames, edges):
    g = sb.Graph()
    for title, size in frames.items():
        g.frame[title] = size
        g.names.setdefault(sb.bare(title), set()).add(title)
    for src, dst in edges:
        g.add_edge(src, dst)
    return g


class StackBound(unittest.TestCase):
    def test_callback_is_free_in_the_library_bound_and_adds_its_own_depth_with_callbacks(self):
        g = graph({"api": 24, "commit": 16, "leaf": 40}, [("api", "commit"), ("commit", sb.INDIRECT), ("api", "leaf")])
        self.assertEqual(sb.bound(g, "api", 0, {})[0], 64)  # api + leaf
        self.assertEqual(sb.bound(g, "api", 0, {}, to_callback=True)[0], 40)  # api + commit, then the callback
        self.assertEqual(sb.bound(g, "api", 50, {})[0], 90)  # a 50-byte callback under commit
        self.assertIsNone(sb.bound(g, "leaf", 0, {}, to_callback=True))

    def test_deepest_chain_names_each_frame(self):
        g = graph({"api": 8, "a": 16, "b": 4}, [("api", "a"), ("api", "b")])
        self.assertEqual(sb.bound(g, "api", 0, {})[1], ["api 8", "a 16"])

    def test_recursion_has_no_bound(self):
        g = graph({"a": 8, "b": 8}, [("a", "b"), ("b", "a")])
        with self.assertRaisesRegex(ValueError, "recursion: a -> b -> a"):
            sb.bound(g, "a", 0, {})

    def test_routine_without_call_graph_is_bounded_from_its_pushes_and_calls(self):
        g = graph({"api": 16}, [("api", "memset")])
        code = {"api": ["push {r4, r5, r6, lr}", "bl 100 <memset>", "pop {r4, r5, r6, pc}"],
                "memset": ["push {r4, r5, lr}", "sub sp, #8", "bl 200 <helper>", "b.n 104 <memset+0x4>",
                           "add sp, #8", "pop {r4, r5, pc}"],
                "helper": ["stmdb sp!, {r4, r5, r6, r7, r8, lr}", "vpush {d8-d9}", "sub.w sp, sp, #256", "bx lr"]}
        problems = []
        sb.complete_from_image(g, code, ["api"], problems)
        self.assertEqual(problems, [])
        self.assertEqual(g.frame["memset"], 20)
        self.assertEqual(g.frame["helper"], 24 + 16 + 256)
        self.assertEqual(sb.bound(g, "api", 0, {})[0], 16 + 20 + 296)

    def test_call_the_graph_lacks_is_taken_from_the_image(self):
        g = graph({"api": 8, "hidden": 32}, [])
        sb.complete_from_image(g, {"api": ["bl 40 <hidden>"], "hidden": []}, ["api"], [])
        self.assertEqual(sb.bound(g, "api", 0, {})[0], 40)

    def test_stack_moved_by_a_register_or_a_call_through_one_is_a_problem(self):
        g = graph({"api": 8}, [("api", "alloca_user"), ("api", "dispatcher")])
        code = {"alloca_user": ["sub sp, r3"], "dispatcher": ["blx r3"]}
        problems = []
        sb.complete_from_image(g, code, ["api"], problems)
        self.assertEqual(len(problems), 2)
        self.assertIn("alloca_user: moves the stack pointer by a register", problems[0] + problems[1])

    def test_longjmp_sets_the_stack_back_and_costs_nothing(self):
        g = graph({"power_lost": 8}, [("power_lost", "longjmp")])
        problems = []
        sb.complete_from_image(g, {"longjmp": ["ldmia r0!, {r4, r5}", "mov sp, r6", "bx lr"]}, ["power_lost"], problems)
        self.assertEqual(problems, [])
        self.assertEqual(sb.bound(g, "power_lost", 0, {})[0], 8)

    def test_call_graph_file_gives_frames_edges_and_dynamic_frames(self):
        text = ('graph: { title: "x.cpp"\n'
                'node: { title: "x.cpp:_ZN1a4walkEv" label: "void a::{anonymous}::walk()\\nx.cpp:3:6\\n'
                '24 bytes (static)" }\n'
                'node: { title: "grow" label: "int grow(int)\\nx.cpp:9:5\\n16 bytes (dynamic,bounded)" }\n'
                'node: { title: "memcpy" label: "memcpy\\n<built-in>" shape : ellipse }\n'
                'edge: { sourcename: "grow" targetname: "x.cpp:_ZN1a4walkEv" label: "x.cpp:10:3" }\n'
                'edge: { sourcename: "grow" targetname: "memcpy" }\n}\n')
        with tempfile.NamedTemporaryFile("w", suffix=".ci", delete=False) as f:
            f.write(text)
        try:
            g = sb.Graph()
            sb.read_ci(g, f.name)
        finally:
            os.unlink(f.name)
        self.assertEqual(g.frame, {"x.cpp:_ZN1a4walkEv": 24, "grow": 16})
        self.assertEqual(g.dynamic, {"grow"})
        self.assertEqual(g.edges["grow"], {"x.cpp:_ZN1a4walkEv", "memcpy"})
        self.assertEqual(g.shown["x.cpp:_ZN1a4walkEv"], "a::walk")


if __name__ == "__main__":
    unittest.main()
