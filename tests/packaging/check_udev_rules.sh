#!/usr/bin/env bash
# packaging/70-zemb.rules against the devices a machine shows, each rule
# matched the way udev matches it (every ATTRS key of a rule on one device,
# values as shell globs): the unit's CD-ROM face in any vendor letter case
# and its camera get access for the seat user (uaccess) and a documented
# group; another vendor's drive, and a disk of the same vendor, get none.
# The README's Linux section says which case needs which.
set -u
rules=${1:?usage: check_udev_rules.sh RULES README}
readme=${2:?usage: check_udev_rules.sh RULES README}
failed=0
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

# The value a rule compares KEY with (==), or "" when it has none.
value_of() {  # rule key
  local rule=$1 key=$2
  local rest=${rule#*"$key"==\"}
  [ "$rest" = "$rule" ] && return 0
  printf '%s' "${rest%%\"*}"
}

# Whether a rule grants access to a device of SUBSYSTEM whose attributes
# are given as key=value words.
grants() {  # subsystem attrs...
  local subsystem=$1
  shift
  local rule key want have matched=no
  while IFS= read -r rule; do
    case $rule in '' | '#'*) continue ;; esac
    [ "$(value_of "$rule" SUBSYSTEM)" = "$subsystem" ] || continue
    local ok=yes
    for key in type vendor idVendor idProduct; do
      want=$(value_of "$rule" "ATTRS{$key}")
      [ -z "$want" ] && continue
      have=
      for a in "$@"; do [ "${a%%=*}" = "$key" ] && have=${a#*=}; done
      # shellcheck disable=SC2053  # the rule's value is a glob
      [[ $have == $want ]] || ok=no
    done
    [ "$ok" = yes ] && matched=yes
  done < "$rules"
  [ "$matched" = yes ]
}

# A table of devices: subsystem, attributes, whether access is granted.
check() {  # expected what subsystem attrs...
  local expected=$1 what=$2
  shift 2
  if grants "$@"; then
    [ "$expected" = yes ] || fail "$what: the rules grant access to it"
  else
    [ "$expected" = no ] || fail "$what: the rules do not grant access to it"
  fi
}
check yes "the CD-ROM face" scsi_generic "type=5" "vendor=Norva   "
check yes "the CD-ROM face, vendor in capitals" scsi_generic "type=5" "vendor=NORVA   "
check yes "the CD-ROM face, vendor in small letters" scsi_generic "type=5" "vendor=norva   "
check no "a disk of the same vendor" scsi_generic "type=0" "vendor=Norva   "
check no "another vendor's CD-ROM drive" scsi_generic "type=5" "vendor=Other   "
check yes "the camera" video4linux "idVendor=2e8a" "idProduct=5a02"
check no "another maker's camera" video4linux "idVendor=046d" "idProduct=0825"

# Every rule that grants access: the seat user, and the documented group.
while IFS= read -r rule; do
  case $rule in '' | '#'*) continue ;; esac
  case $rule in *'TAG+="uaccess"'*) ;; *) fail "no uaccess in: $rule" ;; esac
  case $rule in *'GROUP="zemb"'*) ;; *) fail "not the zemb group in: $rule" ;; esac
done < "$rules"
if grep -q plugdev "$rules"; then fail "the rules assume a plugdev group"; fi

section=$(awk '/^## Linux/ { on = 1; next } /^## / { on = 0 } on' "$readme")
for text in "uaccess" "groupadd --system zemb" "70-zemb.rules"; do
  grep -qF -- "$text" <<< "$section" || fail "the README's Linux section does not mention $text"
done
if grep -q plugdev <<< "$section"; then fail "the README's Linux section still names plugdev"; fi

echo "udev rules: $failed failed"
[ "$failed" -eq 0 ]
