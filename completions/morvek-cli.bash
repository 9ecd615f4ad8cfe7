# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion of morvek-cli: its options, the check and serve commands, file names
# after the options that name files, also as --output=FILE. Country names come from the
# site, so none are offered (--list-countries prints them).
_morvek_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local harvest="--site --output --m3u --json --country --list-countries --jobs --timeout
    --proxy --noproxy --details --quiet --verbose --help --version --check --check-jobs
    --check-timeout --check-per-host --check-output --check-m3u --check-dead --check-json
    --check-pictures --check-user-agent --check-retry"
  local check="--jobs --timeout --per-host --output --m3u --dead --json --pictures --user-agent
    --retry --quiet --help --version"
  local serve="--data --listen --harvest-every --check-every --site --playlist --token-file
    --read-token-file --public-name --jobs --timeout --per-host --retry --user-agent --quiet
    --verbose --help"
  # bash splits "--output=FILE" into "--output", "=" and "FILE".
  if [[ $cur == = ]]; then
    cur=""
  elif [[ $prev == = && $COMP_CWORD -gt 1 ]]; then
    prev=${COMP_WORDS[COMP_CWORD-2]}
  fi
  case $prev in
    -o | --output | --m3u | --dead | --json | --pictures | --check-output | --check-m3u | \
      --check-dead | --check-json | --check-pictures | --data | --playlist | --token-file | \
      --read-token-file)
      _morvek_cli_files "$cur"
      return ;;
    -j | -t | --site | --proxy | --noproxy | --country | --jobs | --timeout | --per-host | \
      --retry | --check-jobs | --check-timeout | --check-per-host | --check-retry | \
      --user-agent | --check-user-agent | --listen | --harvest-every | --check-every | \
      --public-name)
      COMPREPLY=()
      return ;;
  esac
  if [[ $COMP_CWORD -gt 1 && ${COMP_WORDS[1]} == check ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$check" -- "$cur")
    else
      _morvek_cli_files "$cur"
    fi
    return
  fi
  if [[ $COMP_CWORD -gt 1 && ${COMP_WORDS[1]} == serve ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$serve" -- "$cur")
    return
  fi
  if [[ $COMP_CWORD -eq 1 && $cur != -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "check serve" -- "$cur")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -W "$harvest" -- "$cur")
}

# File names; mapfile takes compgen's lines whole, so names with spaces stay one word.
_morvek_cli_files() {
  mapfile -t COMPREPLY < <(compgen -f -- "$1")
  compopt -o filenames 2>/dev/null || true
}

complete -F _morvek_cli morvek-cli
