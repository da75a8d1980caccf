# The key the stand-in codesign and spctl trust must be the publisher's public key. The two files
# that `pelorin-release keygen` writes are easy to swap, and the signing key copied here would
# ship world-readable in every package: anyone who installs one could then sign releases that
# every such installer accepts.
function(pelorin_check_anchor_key file)
  string(CONCAT pair "pelorin-release keygen KEYDIR writes KEYDIR/anchor.pem, the public key to give here, "
           "and KEYDIR/signing-key.pem, the private key that only the publisher's tool reads")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "PELORIN_ANCHOR_KEY ${file} is no file. ${pair}.")
  endif()
  file(READ "${file}" pem LIMIT 4096)
  if(pem MATCHES "PRIVATE KEY")
    message(FATAL_ERROR "PELORIN_ANCHOR_KEY ${file} is a private key, which must never enter "
            "the build or the package. ${pair}.")
  endif()
  # An Ed25519 SubjectPublicKeyInfo is 44 bytes (60 in base64), whose first 12 always encode as
  # this prefix.
  set(body "")
  if(pem MATCHES "^-----BEGIN PUBLIC KEY-----\r?\n(MCowBQYDK2VwAyEA[A-Za-z0-9+/]+=)\r?\n-----END PUBLIC KEY-----\r?\n?$")
    set(body "${CMAKE_MATCH_1}")
  endif()
  string(LENGTH "${body}" length)
  if(NOT length EQUAL 60)
    message(FATAL_ERROR "PELORIN_ANCHOR_KEY ${file} is not an Ed25519 public key in PEM form. "
            "${pair}.")
  endif()
endfunction()
