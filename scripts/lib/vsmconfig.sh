# shellcheck shell=bash
# Vessamo configuration file writer for scripts (source this file). Writes version 2 of
# the binary layout: little-endian integers, each text a 16-bit byte count followed by
# its Windows-1252 bytes (characters outside the code page become "?").
#
#   vsm_write_config FILE INTERVAL CUA NOENVIATS SIENVIATS DIESARXIU \
#       SMTP PORTSMTP AUTH USUARISMTP CONTRASSENYASMTP \
#       FILTRESPAM PROGRAMASPAM CARPETASPAM MARCASPAM \
#       -- SERVIDOR PORT USUARI CONTRASSENYA ENVIARA [SERVIDOR PORT ...]
#
# AUTH and FILTRESPAM are flags: 0 for no, -1 for yes. Folder paths end with "/".
# Ports above 32767 are stored as their 16-bit pattern (they read back negative).

# One little-endian 16-bit integer.
vsm_int16() {
  # shellcheck disable=SC2059 # the format is built from two hexadecimal escapes
  printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"
}

# One little-endian 32-bit integer.
vsm_int32() {
  vsm_int16 $(($1 & 65535))
  vsm_int16 $((($1 >> 16) & 65535))
}

# One text: its Windows-1252 byte count, then the bytes.
vsm_text() {
  local bytes
  bytes=$(printf '%s' "$1" | iconv -f UTF-8 -t WINDOWS-1252//TRANSLIT) || return 1
  local LC_ALL=C
  if ((${#bytes} > 32767)); then
    echo "vsmconfig: text too long (${#bytes} bytes)" >&2
    return 1
  fi
  vsm_int16 "${#bytes}"
  printf '%s' "$bytes"
}

vsm_write_config() {
  if (($# < 16)) || [ "${16}" != "--" ] || ((($# - 16) % 5)); then
    echo "vsmconfig: vsm_write_config FILE 14-settings -- mailbox-quintuples..." >&2
    return 1
  fi
  local file=$1 mailboxes=$((($# - 16) / 5))
  {
    vsm_int32 2 || return 1                # version
    vsm_int16 "$2" || return 1             # Interval
    vsm_text "$3" || return 1              # CarpetaCua
    vsm_text "$4" || return 1              # CarpetaNoEnviats
    vsm_text "$5" || return 1              # CarpetaSiEnviats
    vsm_int16 "$6" || return 1             # DiesArxiu
    vsm_text "$7" || return 1              # ServidorSMTP
    vsm_int16 "$8" || return 1             # PortSMTP
    vsm_int16 "$9" || return 1             # AutentificacioSMTP
    vsm_text "${10}" || return 1           # UsuariSMTP
    vsm_text "${11}" || return 1           # ContrassenyaSMTP
    vsm_int16 "$mailboxes" || return 1     # NumBusties
    vsm_int16 "${12}" || return 1          # FiltreSpam
    vsm_text "${13}" || return 1           # ProgramaSpam
    vsm_text "${14}" || return 1           # CarpetaSpam
    vsm_text "${15}" || return 1           # MarcaSpam
    shift 16
    while (($#)); do                       # Servidor, Port, Usuari, Contrassenya, EnviarA
      vsm_text "$1" && vsm_int16 "$2" && vsm_text "$3" && vsm_text "$4" && vsm_text "$5" || return 1
      shift 5
    done
  } >"$file"
}
