# Refuses a download page that is not an HTTPS URL; included at configure time and run by
# itself (cmake -DVEXAR_DOWNLOAD_URL=... -P) by the tests.
if(NOT VEXAR_DOWNLOAD_URL MATCHES "^https://[^/?#]+(/[^ ]*)?$")
    message(FATAL_ERROR "VEXAR_DOWNLOAD_URL: '${VEXAR_DOWNLOAD_URL}' is not an HTTPS URL")
endif()
