# Shared by build-windows.sh and test-windows.sh (sourced, not run).

. "$(dirname "${BASH_SOURCE[0]}")/deps.sh"
. "$(dirname "${BASH_SOURCE[0]}")/configure.sh"

# The package lists live in deps.sh.
windows_build_packages() {
    pelvoran_install_packages "${pelvoran_windows_build_packages[@]}"
}
windows_test_packages() {
    pelvoran_install_packages "${pelvoran_windows_test_packages[@]}"
}

# True when this machine can start 32-bit programs: the 32-bit wine loader
# needs the kernel's 32-bit support, which some kernels leave out.
can_run_32bit() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Starts a virtual X display and a persistent wineserver for the prefix
# $1 (created when missing) with the loader $2, and prepares the prefix once
# (about 12 s; a prepared one starts in about 2 s): a virtual desktop
# (without it each closed top-level window costs about 2 s) and CJK fonts for
# the Chinese captions. Exports DISPLAY, WINEPREFIX, WINEDEBUG and LC_ALL
# (wine takes the system locale from LC_ALL). Stop it all with
# stop_wine_desktop, from this same shell.
# Xvfb dies with this shell however it dies (PR_SET_PDEATHSIG, by setpriv).
# The wineserver stays the daemon wine makes it, not a child to kill with
# this shell: the processes of a killed wineserver hang on, where
# wineserver -k ends them all.
# What an earlier run, killed before it could stop them, left is ended
# first: the prefix's wine processes, and the Xvfb of the prefix's pid file.
start_wine_desktop() {
    local prefix=$1 wine=$2
    mkdir -p "$prefix"
    export WINEPREFIX=$prefix
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export LC_ALL=zh_CN.UTF-8
    PELVORAN_XVFB_PID_FILE=$prefix.xvfb.pid
    local old
    old=$(cat "$PELVORAN_XVFB_PID_FILE" 2>/dev/null || true)
    if [ -n "$old" ] && tr '\0' ' ' 2>/dev/null <"/proc/$old/cmdline" | grep -q '^Xvfb '; then
        kill "$old" 2>/dev/null || true
    fi
    end_wine_processes

    # Xvfb picks a free display itself and writes its number once it is
    # ready. (Without WINEPREFIX: the processes that carry it are wine's.)
    local numberFile
    numberFile=$(mktemp)
    env -u WINEPREFIX setpriv --pdeathsig KILL Xvfb -displayfd 3 -screen 0 1024x768x24 \
        -nolisten tcp 3>"$numberFile" >/dev/null 2>&1 &
    PELVORAN_XVFB=$!
    echo "$PELVORAN_XVFB" >"$PELVORAN_XVFB_PID_FILE"
    # Bounded generously: a loaded machine may take seconds.
    for _ in $(seq 600); do
        [ -s "$numberFile" ] || ! kill -0 "$PELVORAN_XVFB" 2>/dev/null && break
        sleep 0.1
    done
    if [ ! -s "$numberFile" ]; then
        echo "Xvfb did not start within 60 s" >&2
        rm -f "$numberFile"
        return 1
    fi
    export DISPLAY=:$(head -n 1 "$numberFile")
    rm -f "$numberFile"
    # One wineserver for the whole run: each program would otherwise start its own.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    if [ -e "$WINEPREFIX/pelvoran-prepared" ]; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 || true
        return 0
    fi
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
    "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null
    for face in 宋体 SimSun 新宋体 NSimSun Tahoma; do
        "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" \
            /d 'Noto Sans Mono CJK SC' /f >/dev/null
    done
    # The desktop read those settings when it started: in a new prefix it
    # started before they were written, without the virtual desktop, and
    # every window then waited out wine's 2 s for a window manager that is
    # not there. Start it again with them.
    end_wine_processes
    wineserver -p </dev/null >/dev/null 2>&1 || true
    "$wine" wineboot </dev/null >/dev/null 2>&1 || true
    touch "$WINEPREFIX/pelvoran-prepared"
}

# Ends the prefix's wineserver, which kills its processes as it goes, then
# whatever else still carries the prefix (the processes of a server killed
# before, a run's orphans); back once none runs, within seconds.
end_wine_processes() {
    wineserver -k 2>/dev/null || true
    local left i
    for i in $(seq 200); do
        left=$(wine_processes_left)
        [ -z "$left" ] && return 0
        [ "$i" -gt 30 ] && { kill -KILL $left 2>/dev/null || true; }
        sleep 0.1
    done
    echo "wine processes of $WINEPREFIX still running: $left" >&2
}

# The processes running with the prefix in their environment, but this
# shell and those it runs under.
wine_processes_left() {
    local dir var pids=() mine=" " p=$BASHPID
    for _ in $(seq 100); do
        mine+="$p "
        p=$(ps -o ppid= -p "$p" | tr -d ' ')
        [ -n "$p" ] && [ "$p" -gt 1 ] || break
    done
    for dir in /proc/[0-9]*; do
        [[ $mine == *" ${dir#/proc/} "* ]] && continue
        while IFS= read -r -d '' var; do
            if [ "$var" = "WINEPREFIX=$WINEPREFIX" ]; then
                pids+=("${dir#/proc/}")
                break
            fi
        done 2>/dev/null <"$dir/environ"
    done
    echo "${pids[*]}"
}

# Stops what start_wine_desktop started; does nothing before it.
stop_wine_desktop() {
    [ -n "${PELVORAN_XVFB:-}" ] || return 0
    end_wine_processes
    kill "$PELVORAN_XVFB" 2>/dev/null || true
    wait "$PELVORAN_XVFB" 2>/dev/null || true
    PELVORAN_XVFB=
    rm -f "$PELVORAN_XVFB_PID_FILE"
}

# Picks the 32-bit build where this machine runs 32-bit programs, else the
# 64-bit build of the same sources. Sets toolchain, wine_loader, arch.
# PELVORAN_WIN_ARCH=64 takes the 64-bit path on any machine, as a kernel
# without 32-bit support would (so that both paths can be checked on one
# machine); 32 insists on the 32-bit one; unset or empty, the machine decides.
pick_windows_arch() {
    case "${PELVORAN_WIN_ARCH:-}" in
    "")
        arch=32
        if ! can_run_32bit; then
            arch=64
            echo "NOTE: the 32-bit wine is not installed or this kernel cannot run 32-bit programs; using the 64-bit build of the same sources."
        fi
        ;;
    32)
        if ! can_run_32bit; then
            echo "PELVORAN_WIN_ARCH=32, but this kernel cannot run 32-bit programs" >&2
            return 1
        fi
        arch=32
        ;;
    64)
        arch=64
        echo "NOTE: PELVORAN_WIN_ARCH=64: the 64-bit build, as on a kernel without 32-bit support."
        ;;
    *)
        echo "PELVORAN_WIN_ARCH is 32, 64 or unset, not '$PELVORAN_WIN_ARCH'" >&2
        return 1
        ;;
    esac
    if [ "$arch" = 32 ]; then
        toolchain=cmake/toolchain-mingw-i686.cmake
        wine_loader=/usr/lib/wine/wine
    else
        toolchain=cmake/toolchain-mingw-x86_64.cmake
        wine_loader=/usr/lib/wine/wine64
    fi
}

# Generates zh_CN.UTF-8 into $1/locale when the system lacks it, and points
# LOCPATH there.
ensure_chinese_locale() {
    locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' && return 0
    mkdir -p "$1/locale"
    [ -d "$1/locale/zh_CN.UTF-8" ] || localedef -i zh_CN -f UTF-8 "$1/locale/zh_CN.UTF-8" || true
    export LOCPATH="$1/locale"
}
