"""The extension module. Builds leave debug information out unless CXXFLAGS asks for it with
a -g flag other than -g0 (the checked builds do): without CXXFLAGS, setuptools would compile
with the interpreter's own flags, which usually carry -g and make the module five times
larger."""
import os

from setuptools import Extension, setup

flags = os.environ.get("CXXFLAGS", "").split()
debug = any(flag.startswith("-g") and flag != "-g0" for flag in flags)

setup(
    ext_modules=[
        Extension(
            "amber_moth.lru_cache",
            sources=["src/amber_moth/lru_cache.cpp"],
            depends=["src/amber_moth/utils.h"],
            language="c++",
            extra_compile_args=["-std=c++20", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden"]
            + ([] if debug else ["-g0"]),
        )
    ]
)
