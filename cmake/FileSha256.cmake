# cmake -DINPUT=<file> -DOUTPUT=<file> -P FileSha256.cmake
# Writes INPUT's SHA-256 to OUTPUT as 64 lowercase hexadecimal digits, and
# nothing else: the program compares it byte for byte.
file(SHA256 "${INPUT}" digest)
file(WRITE "${OUTPUT}" "${digest}")
