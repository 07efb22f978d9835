# Installation into one self-contained program folder (default /opt/qtx-automation). The
# Debian packages (debian/, built with dpkg-buildpackage) take the programs from here.
# The service units are installed beside the programs for a hand-made installation; the
# packages install them as systemd units.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/qtx-automation.service
              ${PROJECT_SOURCE_DIR}/packaging/systemd/qtx-automation@.service
        DESTINATION .)
# The help file is installed with the desktop engine (apps/qtx-automation); the headless
# service needs none.
# What a facility's monitoring takes: the SNMP MIB of the alarm traps (made from its template with
# the enterprise number) and the Prometheus alert rules for the console's /metrics.
install(FILES ${PROJECT_BINARY_DIR}/packaging/snmp/QTX-AUTOMATION-MIB.txt DESTINATION snmp)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/qtx-alerts.yml DESTINATION prometheus)
