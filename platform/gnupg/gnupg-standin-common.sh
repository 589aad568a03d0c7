# Shared by the gpg and gpgconf stand-ins: finds the real program of a name on PATH,
# skipping the stand-in directory itself.
standin_dir=$(cd "$(dirname "$0")" && pwd -P)

find_real_program()
{
    local IFS=:
    local dir
    for dir in $PATH; do
        [ -n "$dir" ] || continue
        [ "$(cd "$dir" 2>/dev/null && pwd -P)" = "$standin_dir" ] && continue
        if [ -x "$dir/$1" ] && [ ! -d "$dir/$1" ]; then
            printf '%s\n' "$dir/$1"
            return 0
        fi
    done
    echo "gnupg stand-in: no real $1 found on PATH" >&2
    return 1
}
