# The release files and their checksums (sourced, not run).

# The four files a release publishes, as shell patterns, in the order
# SHA256SUMS lists them: both Debian packages and both Windows executables.
pelvoran_release_files=('pelvoran_*.deb' 'pelvoran-server_*.deb' Pelvoran.exe pelvoran-decode.exe)

# Writes <dir>/SHA256SUMS for the release files present in <dir>, in
# sha256sum's format: `cd <dir> && sha256sum -c SHA256SUMS` checks them.
pelvoran_write_sums() {
    local dir=$1 pattern file files=()
    for pattern in "${pelvoran_release_files[@]}"; do
        for file in "$dir"/$pattern; do
            [ -f "$file" ] && files+=("${file##*/}")
        done
    done
    if [ ${#files[@]} -eq 0 ]; then
        rm -f "$dir/SHA256SUMS"
        return 0
    fi
    (cd "$dir" && sha256sum -- "${files[@]}" >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)
}
