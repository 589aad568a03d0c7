# Sourced by tools/run-demo.sh inside its namespace, after sandbox_start: the demo's key and
# files, and the headless run that photographs the module. Every wait has a deadline.

# A GOST key in root's private key ring, made by the stand-in engine, without pass phrase.
demo_make_key() {
    /usr/local/sbin/gpg --batch --quiet --gen-key '-&3' 3<<'PARAMS' 2>/dev/null
%no-protection
Key-Type: GOST_R34.10-2012
Key-Usage: sign
Name-Real: Demo Administrator
Name-Email: admin@example.org
Expire-Date: 0
%commit
PARAMS
}

# Programs to sign below /opt/demo, in an overlay of /opt that vanishes with the namespace;
# enough of them that a signing run lasts a few seconds.
demo_make_tree() {
    sandbox_overlay /opt
    mkdir -p /opt/demo/tools
    cp /usr/bin/true /usr/bin/false /usr/bin/echo /opt/demo/
    for i in $(seq -w 1 300); do cp /usr/bin/true "/opt/demo/tools/tool-$i"; done
    chmod -R a+rX /opt/demo
}

# Waits up to 20 s for a visible window whose name matches; prints its id.
demo_window() { # <name pattern>
    local id
    for _ in $(seq 1 100); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    echo "demo: no window named \"$1\"" >&2
    return 1
}

demo_click() { # <x> <y>
    xdotool mousemove "$1" "$2" click 1
    sleep 0.5
}

demo_keys() { # <key...>
    xdotool key --delay 150 "$@"
    sleep 0.5
}

demo_shot() { # <window id> <file>
    import -window "$1" "$2"
    echo "Screenshot written: $2"
}

# Puts the pointer on a window (without a window manager the keyboard follows the pointer).
demo_point_at() { # <window id>
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
    sleep 0.3
}

# Photographs the module under the X server of DISPLAY: the control panel, the signature check
# and its saved report, the key selection and the signing dialog of a run over /opt/demo, the
# signing tab after it, the keys tab, the key creation; then an apply answered with a reboot.
# Positions are those of the 900x820 window at the screen's corner.
demo_screenshots() { # <kcmshell5 window id> <directory>
    local panel=$1 shots=$2 window
    demo_shot "$panel" "$shots/control-panel.png"
    demo_check_signatures "$shots"
    # The tree is worked by keys, as its rows move with the machine's root directory (links
    # such as /bin are rows of their own): find "opt", expand it, find "demo", tick it.
    demo_click 125 329 # the tree's "/" row
    xdotool type --delay 60 "opt"
    sleep 1
    demo_keys Right
    sleep 1
    xdotool type --delay 60 "demo"
    sleep 1
    demo_keys space
    demo_click 212 279 # sign in extended attributes too ("Sign selected…" chose executable files)
    sleep 1
    demo_click 483 279 # "Sign"
    window=$(demo_window "Selection confirmation") && demo_point_at "$window" && demo_keys Return
    window=$(demo_window "Key selection") || return 1
    demo_point_at "$window"
    demo_shot "$window" "$shots/select-key-dialog.png"
    demo_keys Return
    window=$(demo_window "Signature process") || return 1
    sleep 0.5
    demo_shot "$window" "$shots/signing-dialog.png"
    # OK comes with the last file and the key export.
    for _ in $(seq 1 60); do
        xdotool search --onlyvisible --name "Signature process" >/dev/null 2>&1 || break
        demo_point_at "$window"
        demo_keys Return
        sleep 0.5
    done
    sleep 5
    demo_shot "$panel" "$shots/signing-tab.png"
    demo_click 675 229 # the "Keys" tab, with the key the run exported
    demo_click 50 335  # expand xattr_keys
    sleep 1
    demo_shot "$panel" "$shots/keys-tab.png"
    demo_create_key "$panel" "$shots"
    demo_apply_and_reboot
}

# "Control extended attributes" to debug and Apply; "Yes" to the reboot question, which the
# reboot tool's stand-in records in the user's runtime directory.
demo_apply_and_reboot() {
    local window
    demo_click 450 121 # "Control extended attributes"
    demo_keys Down Down Return
    demo_click 841 789 # Apply
    window=$(demo_window "Reboot system") || return 1
    demo_point_at "$window"
    demo_keys Return
    sleep 1
    # shellcheck disable=SC2154 # uid: set by run-demo.sh
    grep -q TOVIWM_REBOOT "/run/user/$uid/tovi-wmfunc.log" || { echo "demo: the reboot request was not recorded" >&2; return 1; }
    echo "Reboot request recorded: $(cat "/run/user/$uid/tovi-wmfunc.log")"
}

# "Check signatures…" over /opt/demo alone (the system directories go from the list), the
# report, and "Sign selected…" for its first problem, which opens the signing flow with that
# file and the ELF signature that the demo's verify mode needs. The report is a 900x640
# window at (0, 50).
demo_check_signatures() { # <directory>
    local shots=$1 window
    demo_click 800 105 # "Check signatures…"; the scan of every program starts at once
    window=$(demo_window "Check signatures") || return 1
    demo_point_at "$window"
    demo_click 827 200 # Cancel
    demo_click 40 122  # the first directory of the list
    demo_keys ctrl+a
    demo_click 827 127 # Remove directory
    demo_click 827 96  # Add directory…
    demo_point_at "$(demo_window "Add directory")" || return 1
    xdotool type --delay 40 "/opt/demo"
    demo_keys Return
    demo_point_at "$window"
    demo_click 827 169 # Start
    sleep 25
    demo_shot "$window" "$shots/signature-check.png"
    # The plain-text report, saved and shown for its header.
    demo_click 58 666 # Save report…
    demo_point_at "$(demo_window "Save report")" || return 1
    xdotool type --delay 40 "/tmp/signature-report.txt"
    demo_keys Return
    sleep 1
    [ -s /tmp/signature-report.txt ] || { echo "demo: the report was not saved" >&2; return 1; }
    head -n 12 /tmp/signature-report.txt >/tmp/signature-report-head.txt
    xmessage -geometry 900x260+0+0 -file /tmp/signature-report-head.txt &
    sleep 2
    demo_shot "$(demo_window xmessage)" "$shots/signature-report.png"
    kill $! 2>/dev/null
    demo_point_at "$window"
    demo_click 100 337 # the first problem
    demo_click 168 666 # Sign selected…
    window=$(demo_window "Key selection") || return 1
    demo_point_at "$window"
    demo_keys Return
    window=$(demo_window "Signature process") || return 1
    for _ in $(seq 1 60); do
        xdotool search --onlyvisible --name "Signature process" >/dev/null 2>&1 || break
        demo_point_at "$window"
        demo_keys Return
        sleep 0.5
    done
}

# "Create new key" as an administrator does it: keywright runs as root through pkexec, and
# root's agent asks for the new key's pass phrase in the real pinentry-qt on this display.
demo_create_key() { # <kcmshell5 window id> <directory>
    local panel=$1 shots=$2 window
    demo_click 99 285 # "Create new key"
    window=$(demo_window "Create key") || return 1
    demo_point_at "$window"
    xdotool type --delay 40 "Demo Signer"
    demo_keys Tab
    xdotool type --delay 40 "signer@example.org"
    demo_keys Tab
    xdotool type --delay 40 "made in the demo"
    demo_keys Return
    window=$(demo_pinentry_window) || return 1
    demo_point_at "$window"
    xdotool type --delay 60 "Demo-Pass-2026!"
    demo_keys Tab
    xdotool type --delay 60 "Demo-Pass-2026!"
    sleep 0.5
    demo_shot "$window" "$shots/pinentry.png"
    demo_keys Return
    # The success box names the fingerprint; the key file then appears in the tree.
    window=$(demo_message_box "$panel") || return 1
    sleep 0.5
    demo_shot "$window" "$shots/key-created.png"
    demo_point_at "$window"
    demo_keys Return
    sleep 3
    demo_shot "$panel" "$shots/keys-tab-new-key.png"
}

# Waits up to 120 s for a message box of the module (a window of kcmshell5 that is neither
# the module nor the key dialog); prints its id.
demo_message_box() { # <kcmshell5 window id>
    local id name
    for _ in $(seq 1 600); do
        for id in $(xdotool search --onlyvisible --class kcmshell5 2>/dev/null); do
            name=$(xdotool getwindowname "$id" 2>/dev/null)
            case "$name" in *"Create key"*) continue ;; esac
            [ "$id" != "$1" ] && { echo "$id"; return 0; }
        done
        sleep 0.2
    done
    echo "demo: no message box" >&2
    return 1
}

# Waits up to 60 s for pinentry's window; prints its id.
demo_pinentry_window() {
    local id
    for _ in $(seq 1 300); do
        id=$(xdotool search --onlyvisible --class pinentry 2>/dev/null | tail -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    echo "demo: pinentry showed no window" >&2
    return 1
}
