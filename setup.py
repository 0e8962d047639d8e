"""The extension module. Builds leave debug information out unless CXXFLAGS asks for it with
a -g flag other than -g0 (the checked builds do): without CXXFLAGS, setuptools would compile
with the interpreter's own flags, which usually carry -g and make the module five times
larger. Those builds are stripped of their symbol table too.

The module throws no C++ exceptions and calls nothing that does: -fno-exceptions drops the
clean-ups that unwinding would run, and with them all it took from libstdc++ and libgcc_s
(the personality routine and _Unwind_Resume); --as-needed, the default of some toolchains
only, keeps those libraries from being linked in anyway. It needs libc and the loader alone.

The long description is the README with its links to the repository's files (images
included) named instead of linked: they are relative to the repository, and neither the
sdist nor the package index page has them."""
import os
import re

from setuptools import Extension, setup

flags = os.environ.get("CXXFLAGS", "").split()
debug = any(flag.startswith("-g") and flag != "-g0" for flag in flags)
with open("README.md", encoding="utf-8") as readme:
    long_description = re.sub(
        r"!?\[([^]]*)\]\((?!https?://|#)([^)]*)\)", r"\1 (\2 in the source repository)", readme.read()
    )

setup(
    long_description=long_description,
    long_description_content_type="text/markdown",
    ext_modules=[
        Extension(
            "amber_moth.lru_cache",
            sources=["src/amber_moth/lru_cache.cpp", "src/amber_moth/func.cpp", "src/amber_moth/afunc.cpp"],
            depends=["src/amber_moth/lru_cache.h", "src/amber_moth/func.h", "src/amber_moth/utils.h",
                     "src/amber_moth/expiry.h"],
            language="c++",
            # -fno-devirtualize: the lock's slots are function pointers, and a guess at their
            # target costs a compare more on every operation than the indirect call it saves.
            extra_compile_args=["-std=c++20", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden",
                                "-fno-exceptions", "-fno-devirtualize"]
            + ([] if debug else ["-g0"]),
            extra_link_args=["-Wl,--as-needed"] + ([] if debug else ["-s"]),
        )
    ]
)
