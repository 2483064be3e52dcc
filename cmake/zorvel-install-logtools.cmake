# The lnav format and the syslog-ng configuration for zorvel's log files
# (logtools/), under share/zorvel. Included from zorvel-install.cmake.
install(FILES ${PROJECT_SOURCE_DIR}/logtools/lnav/zorvel_log.json
        DESTINATION share/zorvel/lnav)
install(FILES ${PROJECT_SOURCE_DIR}/logtools/syslog-ng/zorvel.conf
        DESTINATION share/zorvel/syslog-ng)
