# Sourced by the Wine scripts: the environment of one build tree's Wine session.
# Usage: . wine-env.sh BUILD_DIR
wine_build=$(cd "$1" && pwd)
wine_dir="$wine_build/wine"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installs, and no crash debugger: a crash must end the process with a failure.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# The prefix's "Documents" and "Desktop" link to $HOME: keep them inside the prefix.
export HOME="$wine_dir/home"
