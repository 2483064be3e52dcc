# Sourced: the Wine of one build's architecture. Needs ZORVEL_BUILD_DIR and
# ZORVEL_WINE_ARCH (i686 or x64). Each build has its own prefix, 32-bit or
# 64-bit, and the loader and server of that architecture: the "wine" wrapper
# would pick the 32-bit loader when both are installed.
case "${ZORVEL_WINE_ARCH:-i686}" in
  x64)
    export WINEARCH=win64
    wine_loader=/usr/lib/wine/wine64
    export WINESERVER=/usr/lib/wine/wineserver64
    ;;
  *)
    export WINEARCH=win32
    wine_loader=/usr/lib/wine/wine
    export WINESERVER=/usr/lib/wine/wineserver32
    ;;
esac
export WINEPREFIX="$ZORVEL_BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Texts from the system follow the locale; pin it.
export LC_ALL=C
