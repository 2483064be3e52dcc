# Sourced: the Wine of one build's architecture. Needs ZORVEL_BUILD_DIR and
# ZORVEL_WINE_ARCH (i686 or x64). Each build has its own prefix, 32-bit or
# 64-bit, and the loader and server of that architecture: the "wine" wrapper
# would pick the 32-bit loader when both are installed.
case "${ZORVEL_WINE_ARCH:-i686}" in
  x64)
    export WINEARCH=win64
    wine_loader=/usr/lib/wine/wine64
    export WINESERVER=/usr/lib/wine/wineserver64
    # The loader is linked at 0x7d000000 and the kernel starts its heap
    # (brk) anywhere up to 1 GiB above it. About one start in 5,000 that
    # heap covers 0x7ffe0000, where Wine maps the shared user data, and the
    # process ends with status 1 before it runs ("failed to map the shared
    # user data", silent under WINEDEBUG=-all). Without randomisation the
    # heap starts right after the loader.
    wine_launch="setarch x86_64 -R"
    ;;
  *)
    export WINEARCH=win32
    wine_loader=/usr/lib/wine/wine
    export WINESERVER=/usr/lib/wine/wineserver32
    wine_launch=""
    ;;
esac
export WINEPREFIX="$ZORVEL_BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Texts from the system follow the locale; pin it.
export LC_ALL=C
