# The Debian packages each part needs, in one place; sourced by demo.sh and
# test.sh.
#   ptz_packages GROUP...     prints the packages of the groups
#   missing_packages PKG...   prints those not installed
#   need_packages PKG...      installs the missing ones when running as root;
#                             otherwise names them and returns 1
# Groups: build (library, simulator, ptzctl), tests (GoogleTest), ptzd (the
# gateway), checks (install, Python, ptzd's tests and its page in Chromium,
# network namespaces), dotnet (the .NET binding: Mono, NUnit, nuget), fuzz,
# windows.
ptz_packages() {
  local g
  for g in "$@"; do
    case $g in
      build) echo cmake ninja-build g++ ;;
      tests) echo libgtest-dev libgmock-dev ;;
      ptzd) echo pkgconf libcpp-httplib-dev nlohmann-json3-dev libtomlplusplus-dev libpugixml-dev libssl-dev libmosquitto-dev ;;
      checks) echo python3 python3-pytest python3-pip python3-setuptools chromium chromium-driver python3-selenium iproute2 python3-lxml python3-zeep mosquitto mosquitto-clients python3-paho-mqtt proj-bin libhamlib-utils ;;
      dotnet) echo mono-devel nunit-console libnunit-cil-dev nuget file ;;
      fuzz) echo clang libclang-rt-14-dev ;;
      windows) echo g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 ;;
      *) echo "ptz_packages: no group $g" >&2; return 1 ;;
    esac
  done
}

missing_packages() {  # prints those of the named packages that are not installed
  local p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || printf '%s ' "$p"; done
}

need_packages() {
  local missing
  read -r -a missing <<<"$(missing_packages "$@")"
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}"
    echo "  install them with: sudo apt-get install ${missing[*]}"
    return 1
  fi
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # An update that fails for one index (a mirror being synced) still
  # refreshes the others: the install is tried either way.
  apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update -q >/dev/null 2>&1 || echo "apt-get update reported a failure; installing from what it fetched"
      apt-get install -y -q "${missing[@]}" >/dev/null; }
}
