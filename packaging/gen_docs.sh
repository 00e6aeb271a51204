#!/bin/sh
# Writes the man pages (one for the program, one per command) and the bash completion from
# the program's own --help texts, so that neither can drift from the options.
#   gen_docs.sh PROGRAM OUTDIR VERSION
set -eu
prog=$1 out=$2 version=$3
name=tarnwick-registry
mkdir -p "$out/man1"

# The names listed under "Subcommands:" of a help text.
subcommands() { sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'; }
# Every --flag of a help text.
flags() { grep -o -- '--[a-z][a-z-]*' | sort -u | tr '\n' ' '; }

# Roff for one help text: the first line describes, the rest lists usage and options.
page() {
  title=$1 help=$2
  {
    printf '.TH %s 1 "" "%s %s" "User Commands"\n' "$(echo "$title" | tr a-z A-Z)" "$name" "$version"
    printf '.SH NAME\n%s \\- %s\n' "$title" "$(printf '%s\n' "$help" | head -n1 | sed 's/-/\\-/g')"
    printf '.SH DESCRIPTION\n.nf\n'
    printf '%s\n' "$help" | tail -n +2 | sed -e "s|Usage: [^ ]*$name|Usage: $name|" \
      -e 's/\\/\\\\/g' -e 's/^\./\\\&./' -e 's/-/\\-/g'
    printf '.fi\n.SH SEE ALSO\n%s(1), %s config check\n' "$name" "$name"
  } | gzip -9n > "$out/man1/$title.1.gz"
}

top=$("$prog" --help)
page "$name" "$top"
cases=""
for cmd in $(printf '%s\n' "$top" | subcommands); do
  help=$("$prog" "$cmd" --help)
  page "$name-$cmd" "$help"
  words="$(printf '%s\n' "$help" | flags) $(printf '%s\n' "$help" | subcommands | tr '\n' ' ')"
  for sub in $(printf '%s\n' "$help" | subcommands); do
    page "$name-$cmd-$sub" "$("$prog" "$cmd" "$sub" --help)"
  done
  cases="$cases    $cmd) words=\"$words\" ;;
"
done

cat > "$out/$name.bash" <<COMPLETION
# bash completion for $name (generated from its --help texts)
_${name%%-*}_registry() {
  local cur cmd="" words i
  cur=\${COMP_WORDS[COMP_CWORD]}
  for ((i = 1; i < COMP_CWORD; i++)); do
    case \${COMP_WORDS[i]} in -*) ;; *) cmd=\${COMP_WORDS[i]}; break ;; esac
  done
  case \$cmd in
$cases    *) words="$(printf '%s\n' "$top" | flags) $(printf '%s\n' "$top" | subcommands | tr '\n' ' ')" ;;
  esac
  case \$cur in
    -*|"") COMPREPLY=(\$(compgen -W "\$words" -- "\$cur")) ;;
    *) COMPREPLY=(\$(compgen -W "\$words" -- "\$cur") \$(compgen -f -- "\$cur")) ;;
  esac
}
complete -F _${name%%-*}_registry $name
COMPLETION
