# mymirror, built against the installed MirrorKit with pkg-config instead of CMake:
#   sh build-with-pkg-config.sh && ./mymirror MYMIRROR001
# For a kit installed elsewhere than /usr, set PKG_CONFIG_PATH to <its prefix>/lib/<arch>/pkgconfig first.
set -e
cc -o mymirror mymirror.c $(pkg-config --cflags --libs mirrorkit)
