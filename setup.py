"""The extension module. Builds leave debug information out unless CXXFLAGS asks for it with
-g (the checked builds do): without CXXFLAGS, setuptools would compile with the interpreter's
own flags, which usually carry -g and make the module five times larger. Those builds are
stripped of their symbol table too.

The module throws no C++ exceptions and calls nothing that does: -fno-exceptions drops the
clean-ups that unwinding would run, and with them all it took from libstdc++ and libgcc_s
(the personality routine and _Unwind_Resume); --as-needed, the default of some toolchains
only, keeps those libraries from being linked in anyway. It needs libc and the loader alone."""
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
            extra_compile_args=["-std=c++20", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden",
                                "-fno-exceptions"]
            + ([] if debug else ["-g0"]),
            extra_link_args=["-Wl,--as-needed"] + ([] if debug else ["-s"]),
        )
    ]
)
