# The key folder of a build: the message key pair and the manifest-signing key.
#
#   -DVODA_KEY_DIR=/path/to/keys     (default: server/keys, the published DEMO keys)
#
# A key folder is made by server/keys/make-demo-keys.sh and holds:
#   message-key.hex           N E D P Q DP DQ QP as "NAME=hex" lines: compiled into the Downloader
#   message-key.pem           the same pair as PEM (the server's copy; read at run time)
#   manifest-signing.pub.pem  PKCS #1 RSAPublicKey PEM: compiled into the Downloader (`FileSignatureKey`)
#   manifest-signing.pem      the signing private key: compiled into voda-release only
set(VODA_KEY_DIR "${PROJECT_SOURCE_DIR}/server/keys" CACHE PATH "Folder of the build's key files")

# voda_read_message_key(): sets VODA_KEY_<NAME> for every component of message-key.hex.
function(voda_read_message_key)
  set(file "${VODA_KEY_DIR}/message-key.hex")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Key folder ${VODA_KEY_DIR} has no message-key.hex")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(STRINGS "${file}" lines)
  foreach(name N E D P Q DP DQ QP)
    set(value "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^${name}=([0-9a-fA-F]+)[ \t\r]*$")
        set(value "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(value STREQUAL "")
      message(FATAL_ERROR "${file}: no hexadecimal line ${name}=...")
    endif()
    string(TOLOWER "${value}" value)
    set(VODA_KEY_${name} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()

# voda_read_key_text(VAR FILE): the text of a PEM file of the key folder, checked for its marker lines.
function(voda_read_key_text var name marker)
  set(file "${VODA_KEY_DIR}/${name}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "Key folder ${VODA_KEY_DIR} has no ${name}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(READ "${file}" text)
  string(REPLACE "\r" "" text "${text}")
  if(NOT text MATCHES "-----BEGIN ${marker}-----")
    message(FATAL_ERROR "${file}: not a PEM text of the form ${marker}")
  endif()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()
