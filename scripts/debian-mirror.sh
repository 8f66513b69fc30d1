# Sourced by the scripts that talk to Debian's archive (setup.sh, windows-deps.sh): the mirror
# the system's apt already uses, so that a machine behind its own mirror or proxy keeps using it.
#
#   debian_mirror   prints the first Debian mirror URI of apt's sources (deb822 *.sources
#                   first, then the one-line sources.list format); fails, saying so, when none
#
# Only the main archive counts (a URI ending in /debian), not debian-security.
debian_mirror() {
  local m
  m=$(sed -n 's/^URIs:[[:space:]]*//Ip' /etc/apt/sources.list.d/*.sources 2>/dev/null |
      tr ' \t' '\n\n' | grep -E '^[a-z+]+://.*/debian/?$' | head -n 1)
  # One-line format: "deb [options] URI suite components"; the options are skipped.
  [ -n "$m" ] || m=$(awk '$1 == "deb" {
                       for (i = 2; i <= NF; i++)
                         if ($i ~ /^[a-z+]+:\/\/.*\/debian\/?$/) { print $i; exit }
                     }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
  if [ -z "$m" ]; then
    echo "no Debian mirror found in apt's sources (/etc/apt/sources.list," \
         "/etc/apt/sources.list.d/): add one for bookworm, then run this again" >&2
    return 1
  fi
  echo "${m%/}"
}
