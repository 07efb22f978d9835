# Installs the Debian packages the build, the tests and the demo need, when any is missing.
# Sourced by the other scripts.
qtx_packages=(cmake make g++ pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
  googletest libbenchmark-dev qt6-base-dev libgl-dev xvfb xauth clang libclang-rt-14-dev netcat-openbsd
  libmicrohttpd-dev libgnutls28-dev libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libsodium-dev openssl chromium chromium-driver
  python3-selenium libsystemd-dev systemd debhelper dpkg-dev fakeroot lintian devscripts file
  debootstrap tzdata libsnmp-dev snmptrapd snmp python3-aiosmtpd prometheus
  libical-dev etcd-server etcd-client)

qtx_install_packages() {
  local missing=()
  for p in "${qtx_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
