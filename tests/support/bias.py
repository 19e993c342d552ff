"""The bias figure functions as the tests call them."""


def call(function, data, tmp_path, config=None, formats=(), debug=False, unit="ppb",
         tavg="daily", variable="O3"):
    """A bias figure function called by keyword, files going to tmp_path/run*."""
    return function(
        config=dict(config or {}),
        data=data,
        data_file_base=str(tmp_path / "run"),
        data_format="csv",
        model_files_dict="",
        plot_file_base=str(tmp_path / "run"),
        save_plot_formats=list(formats),
        plot_title="ignored",
        variable=variable,
        unit=unit,
        tavg=tavg,
        debug=debug,
    )
