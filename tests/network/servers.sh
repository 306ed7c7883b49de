#!/usr/bin/env bash
# Network drives for tests, served and mounted on this machine only, each server on 127.0.0.1
# and a port of its own, all their state in one folder, every process stopped by its pid:
#
#   servers.sh start DIR [DRIVE...]   serve and mount (all drives by default); prints DRIVE MOUNT
#   servers.sh remount DIR DRIVE      unmount and mount again (the server restarted if it died)
#   servers.sh stop DIR               unmount everything and stop every process started
#
# Drives: sshfs (an sshd of its own, key login as root, sshfs -o idmap=user), gvfs (smbd reached
# through gvfsd and gvfsd-fuse in a D-Bus session of their own), webdav (rclone serve webdav and
# rclone mount, --vfs-cache-mode off unless WEBDAV_CACHE_MODE says another). For each, DIR/DRIVE/
# holds: share (the folder served), mount (the path of the mount's folder the tests use),
# server.pid (the server's listening process), mount.pid (the FUSE process) and timeout (the
# seconds after which the mount gives up on a server that does not answer). A drive that cannot
# be made says why in DIR/DRIVE/skip and is left out.
set -uo pipefail

cmd=${1:?usage: servers.sh start|remount|stop DIR [DRIVE...]}
top=${2:?usage: servers.sh start|remount|stop DIR [DRIVE...]}
shift 2
mkdir -p "$top"
top=$(cd "$top" && pwd)

log() { echo "servers.sh: $*" >>"$top/log"; }

# A TCP port of 127.0.0.1 nothing listens on.
free_port() {
    local port
    for _ in $(seq 1 200); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

wait_port() {
    for _ in $(seq 1 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

is_mounted() { awk -v p="$1" '$5 == p { found = 1 } END { exit !found }' /proc/self/mountinfo; }

wait_mount() {
    for _ in $(seq 1 200); do
        is_mounted "$1" && return 0
        sleep 0.05
    done
    return 1
}

# Starts a program in the background, its output to DIR/DRIVE/NAME.log, its pid to NAME.pid.
spawn() {
    local d=$1 name=$2
    shift 2
    "$@" </dev/null >>"$d/$name.log" 2>&1 &
    echo $! >"$d/$name.pid"
}

stop_pid() {
    local file=$1 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    rm -f "$file"
    [ -n "$pid" ] || return 0
    kill -CONT "$pid" 2>/dev/null
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
}

unmount() {
    local point=$1
    is_mounted "$point" || return 0
    fusermount3 -u "$point" 2>/dev/null || umount "$point" 2>/dev/null ||
        umount -l "$point" 2>/dev/null
}

# Whether the process of a pid file runs: a killed one may linger unreaped as a zombie.
alive() {
    local state
    [ -f "$1" ] || return 1
    state=$(ps -o stat= -p "$(cat "$1")" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "${state#Z}" = "$state" ]
}

skip() {
    echo "$2" >"$top/$1/skip"
    log "$1 skipped: $2"
}

need() {
    local drive=$1 tool=$2 package=$3
    command -v "$tool" >/dev/null 2>&1 || [ -x "$tool" ] && return 0
    skip "$drive" "$tool is not installed (Debian package $package)"
    return 1
}

# --- sshfs: an sshd of its own, key login as root ----------------------------------------------

sshfs_serve() {
    local d=$top/sshfs port
    # Started again after a kill on the port it had: the share keeps its address.
    port=$(cat "$d/port" 2>/dev/null || free_port) || return 1
    echo "$port" >"$d/port"
    mkdir -p /run/sshd
    cat >"$d/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $d/host_key
PidFile none
AuthorizedKeysFile $d/authorized_keys
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
    spawn "$d" server /usr/sbin/sshd -D -e -f "$d/sshd_config"
    wait_port "$port"
}

sshfs_mount() {
    local d=$top/sshfs
    alive "$d/server.pid" || sshfs_serve || return 1
    mkdir -p "$d/mnt"
    # ssh gives up on a silent server after two unanswered keep-alives two seconds apart.
    spawn "$d" mount sshfs -f -o "idmap=user,port=$(cat "$d/port"),IdentityFile=$d/client_key" \
        -o "StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes" \
        -o "ServerAliveInterval=2,ServerAliveCountMax=2" \
        "root@127.0.0.1:$d/share" "$d/mnt"
    echo 5 >"$d/timeout"
    wait_mount "$d/mnt" && echo "$d/mnt" >"$d/mount"
}

sshfs_start() {
    local d=$top/sshfs
    need sshfs /usr/sbin/sshd openssh-server && need sshfs sshfs sshfs || return 1
    mkdir -p "$d/share"
    ssh-keygen -q -t ed25519 -N '' -f "$d/host_key" </dev/null >/dev/null &&
        ssh-keygen -q -t ed25519 -N '' -f "$d/client_key" </dev/null >/dev/null &&
        cp "$d/client_key.pub" "$d/authorized_keys" || return 1
    sshfs_mount
}

# --- SMB through gvfs: smbd, and gvfsd with gvfsd-fuse in a D-Bus session of their own ----------

gvfs_serve() {
    local d=$top/gvfs port
    # Started again after a kill on the port it had: the share keeps its address.
    port=$(cat "$d/port" 2>/dev/null || free_port) || return 1
    echo "$port" >"$d/port"
    mkdir -p "$d/samba"/{private,lock,state,cache,pid,ncalrpc}
    cat >"$d/smb.conf" <<EOF
[global]
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $port
  disable netbios = yes
  server role = standalone server
  map to guest = Bad User
  guest account = root
  private dir = $d/samba/private
  lock directory = $d/samba/lock
  state directory = $d/samba/state
  cache directory = $d/samba/cache
  pid directory = $d/samba/pid
  ncalrpc dir = $d/samba/ncalrpc
  log file = $d/samba/log.%m
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
  server min protocol = SMB2
[pics]
  path = $d/share
  read only = no
  guest ok = yes
  guest only = yes
  force user = root
EOF
    spawn "$d" server /usr/sbin/smbd --foreground --no-process-group -s "$d/smb.conf"
    wait_port "$port"
}

gvfs_bus() {
    local d=$top/gvfs
    mkdir -p "$d/run" "$d/fuse"
    chmod 700 "$d/run"
    spawn "$d" bus dbus-daemon --session --nofork --address="unix:path=$d/bus"
    for _ in $(seq 1 100); do
        [ -S "$d/bus" ] && break
        sleep 0.05
    done
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$d/bus" XDG_RUNTIME_DIR=$d/run
    spawn "$d" gvfsd /usr/libexec/gvfsd --no-fuse
    sleep 0.5
    spawn "$d" fuse /usr/libexec/gvfsd-fuse -f "$d/fuse"
    wait_mount "$d/fuse"
}

gvfs_mount() {
    local d=$top/gvfs url
    alive "$d/server.pid" || gvfs_serve || return 1
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$d/bus" XDG_RUNTIME_DIR=$d/run
    url="smb://127.0.0.1:$(cat "$d/port")/pics"
    # A share whose server was killed may stay mounted and answer EIO: unmounted and mounted
    # again until it answers.
    for _ in 1 2 3; do
        timeout 30 gio mount -a "$url" >>"$d/gio.log" 2>&1
        for _ in $(seq 1 100); do
            for share in "$d/fuse"/smb-share:*share=pics*; do
                if [ -d "$share" ] && ls -R "$share" >/dev/null 2>&1; then
                    echo "$share" >"$d/mount"
                    return 0
                fi
            done
            sleep 0.05
        done
        timeout 20 gio mount -u "$url" >>"$d/gio.log" 2>&1
    done
    return 1
}

gvfs_start() {
    local d=$top/gvfs
    need gvfs /usr/sbin/smbd samba && need gvfs dbus-daemon dbus-daemon &&
        need gvfs /usr/libexec/gvfsd gvfs-daemons && need gvfs /usr/libexec/gvfsd-fuse gvfs-fuse &&
        need gvfs gio libglib2.0-bin || return 1
    [ -e /usr/lib/x86_64-linux-gnu/gvfs/libgvfsdaemon.so ] || ls /usr/libexec/gvfsd-smb \
        >/dev/null 2>&1 || {
        skip gvfs "gvfsd-smb is not installed (Debian package gvfs-backends)"
        return 1
    }
    mkdir -p "$d/share"
    # libsmbclient's own time-out, which gvfs does not change.
    echo 20 >"$d/timeout"
    gvfs_bus || return 1
    gvfs_mount
}

# --- WebDAV through rclone --------------------------------------------------------------------

webdav_serve() {
    local d=$top/webdav port
    # Started again after a kill on the port it had: the share keeps its address.
    port=$(cat "$d/port" 2>/dev/null || free_port) || return 1
    echo "$port" >"$d/port"
    # Files put in the share by the tests are served two seconds later at most.
    spawn "$d" server rclone serve webdav --config /dev/null --addr "127.0.0.1:$port" \
        --dir-cache-time 2s "$d/share"
    wait_port "$port"
}

webdav_mount() {
    local d=$top/webdav
    alive "$d/server.pid" || webdav_serve || return 1
    mkdir -p "$d/mnt" "$d/cache"
    spawn "$d" mount rclone mount --config /dev/null --cache-dir "$d/cache" \
        --vfs-cache-mode "${WEBDAV_CACHE_MODE:-off}" --vfs-write-back 1s --dir-cache-time 0s \
        --attr-timeout 0s --contimeout 2s --timeout 4s --low-level-retries 1 --retries 1 \
        ":webdav,url='http://127.0.0.1:$(cat "$d/port")':" "$d/mnt"
    echo 4 >"$d/timeout"
    wait_mount "$d/mnt" && echo "$d/mnt" >"$d/mount"
}

webdav_start() {
    local d=$top/webdav
    need webdav rclone rclone || return 1
    mkdir -p "$d/share"
    webdav_mount
}

# ----------------------------------------------------------------------------------------------

drive_unmount() {
    local d=$top/$1
    case $1 in
        gvfs)
            [ -f "$d/mount" ] && DBUS_SESSION_BUS_ADDRESS="unix:path=$d/bus" \
                XDG_RUNTIME_DIR=$d/run timeout 20 gio mount -u \
                "smb://127.0.0.1:$(cat "$d/port")/pics" >>"$d/gio.log" 2>&1
            ;;
        *)
            unmount "$d/mnt"
            stop_pid "$d/mount.pid"
            ;;
    esac
    rm -f "$d/mount"
}

case $cmd in
    start)
        [ $# -gt 0 ] || set -- sshfs gvfs webdav
        if [ ! -e /dev/fuse ] || [ "$(id -u)" -ne 0 ]; then
            for drive in "$@"; do
                mkdir -p "$top/$drive"
                skip "$drive" "no /dev/fuse, or not root"
            done
            exit 0
        fi
        for drive in "$@"; do
            mkdir -p "$top/$drive"
            rm -f "$top/$drive/skip"
            if "${drive}_start" && [ -f "$top/$drive/mount" ]; then
                echo "$drive $(cat "$top/$drive/mount")"
            elif [ ! -f "$top/$drive/skip" ]; then
                echo "$drive did not start: $(tail -n 5 "$top/$drive"/*.log 2>/dev/null)" \
                    >"$top/$drive/failed"
                log "$drive failed"
            fi
        done
        ;;
    remount)
        drive=${1:?drive}
        drive_unmount "$drive"
        "${drive}_mount" || exit 1
        echo "$drive $(cat "$top/$drive/mount")"
        ;;
    stop)
        for d in "$top"/*/; do
            drive=$(basename "$d")
            [ -f "$d/mount.pid" ] || [ -f "$d/fuse.pid" ] || [ -f "$d/server.pid" ] || continue
            [ "$drive" = gvfs ] && [ -f "$d/mount" ] && drive_unmount gvfs
            [ "$drive" = gvfs ] && unmount "$d/fuse"
            [ "$drive" != gvfs ] && unmount "$d/mnt"
            for name in mount fuse gvfsd server bus; do
                stop_pid "$d/$name.pid"
            done
        done
        ;;
    *)
        echo "servers.sh: unknown command $cmd" >&2
        exit 2
        ;;
esac
exit 0
