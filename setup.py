"""The extension module. Builds leave debug information out unless CXXFLAGS asks for it with
-g (the checked builds do): without CXXFLAGS, setuptools would compile with the interpreter's
own flags, which usually carry -g and make the module five times larger."""
import os

from setuptools import Extension, setup

debug = "-g" in os.environ.get("CXXFLAGS", "").split()

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
